# Settings, relay outputs and the driver's start-up.
foreach(name settings outputs outputqueue)
  qor_test(unit relay_${name} tst_${name}.cpp LIBRARIES qor-driver-relay-core Qt5::Test)
endforeach()

# The driver's start-up, and both programs started with a configuration that
# is not a small regular file or with a standard descriptor closed: one test
# program, so that all their runs start side by side.
qor_test(e2e relay_startup tst_startup.cpp tst_surroundings.cpp tracetiming.cpp tracetiming.h
  LIBRARIES qor-testkit-main
  PROGRAMS RELAY_DRIVER=qor-driver-relay LED_DRIVER=qora_led_driver)
