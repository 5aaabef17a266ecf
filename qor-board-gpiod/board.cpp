// The board functions on the kernel's GPIO character device, with the lines
// that the line map names. Every fault ends the process with one line on
// standard error (boardlines.h); none returns as if a relay had switched.
#include "libqor-board.h"

#include "boardlines.h"

#include <cerrno>
#include <ctime>

extern "C" {

// Only the board operations are exported; the helpers stay internal.
#define QOR_BOARD_API __attribute__((visibility("default")))

QOR_BOARD_API void board_lib_init(void) {
    boardlines::loadMap();
}

QOR_BOARD_API void board_gpio_init(void) {
    boardlines::acquire({Signal::Relay0, Signal::Relay1, Signal::Key0, Signal::Key1});
}

QOR_BOARD_API void board_gpio_led_init(void) {
    boardlines::acquire({Signal::Led});
}

QOR_BOARD_API void board_gpio_set_relay_0(uint8_t level) {
    boardlines::set(Signal::Relay0, level, "board_gpio_set_relay_0", "board_gpio_init");
}

QOR_BOARD_API void board_gpio_set_relay_1(uint8_t level) {
    boardlines::set(Signal::Relay1, level, "board_gpio_set_relay_1", "board_gpio_init");
}

QOR_BOARD_API uint8_t board_gpio_get_key_0(void) {
    return boardlines::get(Signal::Key0, "board_gpio_get_key_0", "board_gpio_init");
}

QOR_BOARD_API uint8_t board_gpio_get_key_1(void) {
    return boardlines::get(Signal::Key1, "board_gpio_get_key_1", "board_gpio_init");
}

QOR_BOARD_API void board_gpio_led(uint8_t level) {
    int savedErrno = errno; // may run inside a signal handler
    boardlines::set(Signal::Led, level, "board_gpio_led", "board_gpio_led_init");
    errno = savedErrno;
}

// Sleeps the whole time even when signals interrupt it.
QOR_BOARD_API void board_delay_ms(uint32_t ms) {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

} // extern "C"
