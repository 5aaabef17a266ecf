# Settings, relay outputs and the driver's start-up.
foreach(name settings outputs outputqueue)
  qor_test(unit relay_${name} tst_${name}.cpp LIBRARIES qor-driver-relay-core Qt5::Test)
endforeach()

# The driver's start-up, and both programs started with a configuration that
# is not a small regular file or with a standard descriptor closed.
qor_test(e2e relay_startup_e2e tst_startup.cpp LIBRARIES qor-relay-e2e
  PROGRAMS RELAY_DRIVER=qor-driver-relay)
qor_test(e2e relay_surroundings_e2e tst_surroundings.cpp LIBRARIES qor-relay-e2e
  PROGRAMS RELAY_DRIVER=qor-driver-relay LED_DRIVER=qora_led_driver)
