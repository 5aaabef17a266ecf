# Console protocol: parser, dispatcher and dialogues in-process, then the
# real driver on the simulated board, and the fuzz targets.
add_executable(tst_consolescan tst_consolescan.cpp)
# The core's moc object brings in the cycle object too, hence the board.
target_link_libraries(tst_consolescan PRIVATE qor-driver-relay-core qor-board qor-protocol-texts
  Qt5::Test)
add_test(NAME relay_consolescan COMMAND tst_consolescan)

add_executable(tst_console_e2e tst_console_e2e.cpp tracetiming.cpp tracetiming.h)
target_link_libraries(tst_console_e2e PRIVATE qor-testkit)
target_compile_definitions(tst_console_e2e PRIVATE RELAY_DRIVER="$<TARGET_FILE:qor-driver-relay>")
add_dependencies(tst_console_e2e qor-driver-relay)
add_test(NAME relay_console_e2e COMMAND tst_console_e2e)

add_subdirectory(${CMAKE_CURRENT_SOURCE_DIR}/../fuzz ${CMAKE_CURRENT_BINARY_DIR}/fuzz)

# The driver when its peer stalls, goes away or stops it.
add_executable(tst_peer_e2e tst_peer_e2e.cpp tracetiming.cpp tracetiming.h)
target_link_libraries(tst_peer_e2e PRIVATE qor-testkit)
target_include_directories(tst_peer_e2e PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/../inc)
target_compile_definitions(tst_peer_e2e PRIVATE RELAY_DRIVER="$<TARGET_FILE:qor-driver-relay>")
add_dependencies(tst_peer_e2e qor-driver-relay)
add_test(NAME relay_peer_e2e COMMAND tst_peer_e2e)
