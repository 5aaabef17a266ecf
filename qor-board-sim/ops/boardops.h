// The board operations by the names the simulated board's trace gives them,
// which are the board functions' own: spelt once, for the board, its trace
// converter and the tests.
#ifndef BOARDOPS_H
#define BOARDOPS_H

namespace boardop {

constexpr const char* libInit = "board_lib_init";
constexpr const char* gpioInit = "board_gpio_init";
constexpr const char* relay[2] = {"board_gpio_set_relay_0", "board_gpio_set_relay_1"};
constexpr const char* key[2] = {"board_gpio_get_key_0", "board_gpio_get_key_1"};
constexpr const char* ledInit = "board_gpio_led_init";
constexpr const char* led = "board_gpio_led";
constexpr const char* delay = "board_delay_ms";

} // namespace boardop

#endif
