# Settings, relay outputs and the driver's start-up.
foreach(name settings outputs outputqueue)
  add_executable(tst_${name} tst_${name}.cpp)
  target_link_libraries(tst_${name} PRIVATE qor-driver-relay-core Qt5::Test)
  add_test(NAME relay_${name} COMMAND tst_${name})
endforeach()

add_executable(tst_startup tst_startup.cpp)
target_link_libraries(tst_startup PRIVATE qor-testkit)
target_compile_definitions(tst_startup PRIVATE RELAY_DRIVER="$<TARGET_FILE:qor-driver-relay>")
add_dependencies(tst_startup qor-driver-relay)
add_test(NAME relay_startup COMMAND tst_startup)

# Both programs started with a configuration that is not a small regular file
# or with a standard descriptor closed.
add_executable(tst_surroundings tst_surroundings.cpp tracetiming.cpp tracetiming.h)
target_link_libraries(tst_surroundings PRIVATE qor-testkit)
target_compile_definitions(tst_surroundings PRIVATE RELAY_DRIVER="$<TARGET_FILE:qor-driver-relay>"
                                                    LED_DRIVER="$<TARGET_FILE:qora_led_driver>")
add_dependencies(tst_surroundings qor-driver-relay qora_led_driver)
add_test(NAME surroundings COMMAND tst_surroundings)
