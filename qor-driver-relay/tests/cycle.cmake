# Cycle timer and key watcher: the tick against a board of the test's own,
# then the real driver on the simulated board.
add_executable(tst_cyclepin tst_cyclepin.cpp)
target_link_libraries(tst_cyclepin PRIVATE qor-driver-relay-core Qt5::Test)
add_test(NAME relay_cyclepin COMMAND tst_cyclepin)

add_executable(tst_cycle_e2e tst_cycle_e2e.cpp tracetiming.cpp tracetiming.h)
target_link_libraries(tst_cycle_e2e PRIVATE qor-testkit)
target_compile_definitions(tst_cycle_e2e PRIVATE RELAY_DRIVER="$<TARGET_FILE:qor-driver-relay>")
add_dependencies(tst_cycle_e2e qor-driver-relay)
add_test(NAME relay_cycle_e2e COMMAND tst_cycle_e2e)
