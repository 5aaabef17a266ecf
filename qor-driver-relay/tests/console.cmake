# Console protocol: parser, dispatcher and dialogues in-process, then the
# real driver on the simulated board, also when its peer stalls or goes away,
# and against every signal and job control.
# The core's moc object brings in the cycle object too, hence the board.
qor_test(unit relay_consolescan tst_consolescan.cpp
  LIBRARIES qor-driver-relay-core qor-board qor-protocol-texts Qt5::Test)

foreach(name console peer signals)
  qor_test(e2e relay_${name}_e2e tst_${name}_e2e.cpp LIBRARIES qor-relay-e2e
    PROGRAMS RELAY_DRIVER=qor-driver-relay)
  target_include_directories(tst_${name}_e2e PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/../inc)
endforeach()
