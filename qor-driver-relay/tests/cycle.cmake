# Cycle timer and key watcher: the tick against a board of the test's own,
# then the real driver on the simulated board.
qor_test(unit relay_cyclepin tst_cyclepin.cpp LIBRARIES qor-driver-relay-core Qt5::Test)

qor_test(e2e relay_cycle_e2e tst_cycle_e2e.cpp LIBRARIES qor-relay-e2e
  PROGRAMS RELAY_DRIVER=qor-driver-relay)
