// Makes the board calls named on the command line, in order:
//   lib gpio ledinit relay0=L relay1=L key0 key1 led=L delay=MS threads=N:M
// Key readings are printed as "key0 V" on standard output. "wait" makes no
// call: it waits for a line on standard input, so a test can change something
// between two calls.
#include "libqor-board.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

void hammer(int calls) {
    for (int i = 0; i < calls; ++i) {
        board_gpio_set_relay_0(i & 1);
        board_gpio_led(i & 1);
        board_gpio_get_key_1();
    }
}

// "N:M": N threads of M rounds each.
void runThreads(const char* shape) {
    int threads = atoi(shape);
    const char* colon = strchr(shape, ':');
    int calls = colon ? atoi(colon + 1) : 1000;
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back(hammer, calls);
    }
    for (std::thread& t : pool) {
        t.join();
    }
}

void call(const char* op) {
    const char* eq = strchr(op, '=');
    int arg = eq ? atoi(eq + 1) : 0;
    size_t len = eq ? static_cast<size_t>(eq - op) : strlen(op);
    auto is = [&](const char* name) { return strlen(name) == len && !strncmp(op, name, len); };
    if (is("lib")) {
        board_lib_init();
    } else if (is("gpio")) {
        board_gpio_init();
    } else if (is("ledinit")) {
        board_gpio_led_init();
    } else if (is("relay0")) {
        board_gpio_set_relay_0(static_cast<uint8_t>(arg));
    } else if (is("relay1")) {
        board_gpio_set_relay_1(static_cast<uint8_t>(arg));
    } else if (is("key0")) {
        printf("key0 %d\n", board_gpio_get_key_0());
        fflush(stdout);
    } else if (is("key1")) {
        printf("key1 %d\n", board_gpio_get_key_1());
    } else if (is("led")) {
        board_gpio_led(static_cast<uint8_t>(arg));
    } else if (is("delay")) {
        board_delay_ms(static_cast<uint32_t>(arg));
    } else if (is("threads")) {
        runThreads(eq + 1);
    } else if (is("wait")) {
        int c;
        while ((c = getchar()) != EOF && c != '\n') {
        }
    } else {
        fprintf(stderr, "board-probe: unknown call %s\n", op);
        exit(2);
    }
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        call(argv[i]);
    }
    fflush(stdout);
    return 0;
}
