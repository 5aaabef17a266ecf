// Simulated board: every call is traced or shown, keys come from files and
// the delay can be scaled. Everything reachable from board_gpio_led() must
// stay async-signal-safe: no allocation, no stdio, no locks.
#include "libqor-board.h"

#include "boardops.h"

#include "simconfig.h"
#include "simout.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace {

std::atomic<bool> libReady{false};
std::atomic<bool> gpioReady{false};
std::atomic<bool> ledReady{false};

// The longest sleep, 2^31 - 1 s (about 68 years, the range of a 32-bit
// time_t): a delay scale so large that the time would overflow sleeps this
// long instead of failing at once, which would make every caller's loop spin.
const double maxSleepNs = 2147483647.0 * 1e9;

// Last level shown per device; -1 means nothing was shown yet.
std::atomic<int> shownLevel[3] = {{-1}, {-1}, {-1}};
const char* const deviceName[3] = {"relay 0", "relay 1", "LED"};

void requireInit(const std::atomic<bool>& ready, const char* op, const char* init) {
    if (!ready.load()) {
        simout::warnOrder(op, init);
    }
}

void setLevel(int device, const char* op, uint8_t level) {
    long long t = simout::nowUs();
    simout::trace(t, op, level, true);
    int shown = level ? 1 : 0;
    if (simconfig::showing() && shownLevel[device].exchange(shown) != shown) {
        simout::show(deviceName[device], shown);
    }
}

uint8_t readKey(const char* op, int key) {
    long long t = simout::nowUs();
    uint8_t value = simconfig::keyFileIsSet(key) ? 1 : 0;
    simout::trace(t, op, value, true);
    return value;
}

} // namespace

extern "C" {

// Only the board operations are exported; the helpers stay internal.
#define QOR_BOARD_API __attribute__((visibility("default")))

QOR_BOARD_API void board_lib_init(void) {
    simout::trace(simout::nowUs(), boardop::libInit, 0, false);
    libReady = true;
}

QOR_BOARD_API void board_gpio_init(void) {
    simout::trace(simout::nowUs(), boardop::gpioInit, 0, false);
    requireInit(libReady, boardop::gpioInit, boardop::libInit);
    gpioReady = true;
}

QOR_BOARD_API void board_gpio_led_init(void) {
    simout::trace(simout::nowUs(), boardop::ledInit, 0, false);
    requireInit(libReady, boardop::ledInit, boardop::libInit);
    ledReady = true;
}

QOR_BOARD_API void board_gpio_set_relay_0(uint8_t level) {
    setLevel(0, boardop::relay[0], level);
    requireInit(gpioReady, boardop::relay[0], boardop::gpioInit);
}

QOR_BOARD_API void board_gpio_set_relay_1(uint8_t level) {
    setLevel(1, boardop::relay[1], level);
    requireInit(gpioReady, boardop::relay[1], boardop::gpioInit);
}

QOR_BOARD_API uint8_t board_gpio_get_key_0(void) {
    uint8_t value = readKey(boardop::key[0], 0);
    requireInit(gpioReady, boardop::key[0], boardop::gpioInit);
    return value;
}

QOR_BOARD_API uint8_t board_gpio_get_key_1(void) {
    uint8_t value = readKey(boardop::key[1], 1);
    requireInit(gpioReady, boardop::key[1], boardop::gpioInit);
    return value;
}

QOR_BOARD_API void board_gpio_led(uint8_t level) {
    int savedErrno = errno; // may run inside a signal handler
    setLevel(2, boardop::led, level);
    requireInit(ledReady, boardop::led, boardop::ledInit);
    errno = savedErrno;
}

QOR_BOARD_API void board_delay_ms(uint32_t ms) {
    simout::trace(simout::nowUs(), boardop::delay, ms, true);
    double scaled = static_cast<double>(ms) * 1e6 * simconfig::delayScale();
    long long ns = static_cast<long long>(std::min(scaled, maxSleepNs));
    timespec left{static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

} // extern "C"
