# Settings, relay outputs and the driver's start-up.
foreach(name settings outputs outputqueue)
  qor_test(unit relay_${name} tst_${name}.cpp LIBRARIES qor-driver-relay-core Qt5::Test)
endforeach()

qor_test(e2e relay_startup tst_startup.cpp PROGRAMS RELAY_DRIVER=qor-driver-relay)

# Both programs started with a configuration that is not a small regular file
# or with a standard descriptor closed.
qor_test(e2e surroundings tst_surroundings.cpp tracetiming.cpp tracetiming.h
  PROGRAMS RELAY_DRIVER=qor-driver-relay LED_DRIVER=qora_led_driver)
