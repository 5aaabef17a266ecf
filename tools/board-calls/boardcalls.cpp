// Cost of the board calls that the relay driver makes on every tick (a relay
// setter and a key read), through whichever libqor-board.so.1 the loader
// finds: the kernel rounds run it against the GPIO library and against the
// simulated one in the same guest. Prints one line per call:
//   bench <label>: <call>: <ns> ns per call
#include "libqor-board.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

using Clock = std::chrono::steady_clock;

template <typename Call> double nsPerCall(unsigned count, Call call) {
    const auto start = Clock::now();
    for (unsigned i = 0; i < count; ++i)
        call(i);
    const std::chrono::duration<double, std::nano> spent = Clock::now() - start;
    return spent.count() / count;
}

void report(const char* label, const char* call, double ns) {
    std::printf("bench %s: %s: %.0f ns per call\n", label, call, ns);
}

} // namespace

int main(int argc, char** argv) {
    const unsigned count = argc == 3 ? std::strtoul(argv[2], nullptr, 10) : 0;
    if (count == 0) {
        std::fprintf(stderr, "usage: qor-board-calls LABEL COUNT\n");
        return 2;
    }
    const char* label = argv[1];
    board_lib_init();
    board_gpio_init();
    report(label, "relay setter, alternating levels",
           nsPerCall(count, [](unsigned i) { board_gpio_set_relay_0(i & 1); }));
    report(label, "relay setter, same level",
           nsPerCall(count, [](unsigned) { board_gpio_set_relay_0(0); }));
    unsigned pressed = 0;
    report(label, "key read",
           nsPerCall(count, [&pressed](unsigned) { pressed += board_gpio_get_key_0(); }));
    board_gpio_set_relay_0(0);
    // Keeps the reads from being optimised away.
    return pressed > count ? 1 : 0;
}
