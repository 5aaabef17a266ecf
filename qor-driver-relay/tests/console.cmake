# Console protocol: parser, dispatcher and dialogues in-process, then the
# real driver on the simulated board.
# The core's moc object brings in the cycle object too, hence the board.
qor_test(unit relay_consolescan tst_consolescan.cpp
  LIBRARIES qor-driver-relay-core qor-board qor-protocol-texts Qt5::Test)

# The real driver on the simulated board, and the driver when its peer
# stalls, goes away or stops it: one test program, so that all their drivers
# start side by side.
qor_test(e2e relay_console_e2e tst_console_e2e.cpp tst_peer_e2e.cpp tracetiming.cpp tracetiming.h
  LIBRARIES qor-testkit-main
  PROGRAMS RELAY_DRIVER=qor-driver-relay)
target_include_directories(tst_console_e2e PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/../inc)

# The driver against every signal and against job control.
qor_test(e2e relay_signals_e2e tst_signals_e2e.cpp tracetiming.cpp tracetiming.h
  PROGRAMS RELAY_DRIVER=qor-driver-relay)
target_include_directories(tst_signals_e2e PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/../inc)
