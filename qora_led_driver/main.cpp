// qora_led_driver: shows an 8-bit status code on the board's status LED, one
// bit per 500 ms, lowest bit first. The code is the only argument and can be
// replaced at any time by decimal numbers written to standard input.
#include "libqor-board.h"

#include <atomic>
#include <cctype>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

// The reader thread writes the code, the display loop reads it.
std::atomic<uint8_t> byte_control{0};
// Only the display loop touches these.
uint8_t byte_control_count = 0;
uint32_t timer = 0;

namespace {

// A standard descriptor closed at start gets /dev/null, so that no file opened
// later takes its number and receives what is meant for the standard
// streams; without /dev/null there is no safe place for it.
void openStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) != fd) {
            _exit(EXIT_FAILURE);
        }
    }
}

const uint32_t stepMs = 500;
// The LED is switched off once more after every 51st step.
const uint32_t timerMax = 50;

bool isSpace(int c) {
    return std::isspace(c) != 0;
}
bool isDigit(int c) {
    return std::isdigit(c) != 0;
}
bool isSign(int c) {
    return c == '+' || c == '-';
}

// A decimal integer being read one character at a time, as "%d" reads it.
// Past the int range only "too big" is kept, so any number of digits fits.
struct Number {
    bool negative = false;
    int digits = 0;
    long long magnitude = 0;
};

void startNumber(Number& n, int c) {
    n = Number();
    n.negative = c == '-';
}

void addDigit(Number& n, int c) {
    ++n.digits;
    if (n.magnitude <= 1LL + INT_MAX) {
        n.magnitude = n.magnitude * 10 + (c - '0');
    }
}

// False when there are no digits or the value is outside the int range.
bool numberValue(const Number& n, int& out) {
    long long v = n.negative ? -n.magnitude : n.magnitude;
    if (n.digits == 0 || v < INT_MIN || v > INT_MAX) {
        return false;
    }
    out = static_cast<int>(v);
    return true;
}

// Read as atoi reads: leading white space and a sign are allowed, reading
// stops at the first non-digit. No digits, or a value outside the int range,
// gives 0.
uint8_t codeFromArgument(const char* text) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (isSpace(*p)) {
        ++p;
    }
    Number n;
    if (isSign(*p)) {
        startNumber(n, *p++);
    }
    for (; isDigit(*p); ++p) {
        addDigit(n, *p);
    }
    int value = 0;
    return numberValue(n, value) ? static_cast<uint8_t>(value) : 0;
}

// Standard input is read like repeated scanf("%d"), except that text which is
// not a number is skipped up to the next white space rather than blocking
// every further read; numbers outside the int range are skipped too.
enum ReadState { BETWEEN, SIGN, DIGITS, SKIPPING };

struct Reader {
    ReadState state = BETWEEN;
    Number number;
};

void storeNumber(const Reader& r) {
    int value = 0;
    if (r.state == DIGITS && numberValue(r.number, value)) {
        byte_control = static_cast<uint8_t>(value);
    }
}

void feed(Reader& r, int c) {
    if (isSpace(c)) {
        storeNumber(r);
        r.state = BETWEEN;
    } else if (isDigit(c) && r.state != SKIPPING) {
        if (r.state == BETWEEN) {
            startNumber(r.number, c);
        }
        addDigit(r.number, c);
        r.state = DIGITS;
    } else if (isSign(c) && (r.state == BETWEEN || r.state == DIGITS)) {
        // "12-3" is 12 and then -3, as for "%d".
        storeNumber(r);
        startNumber(r.number, c);
        r.state = SIGN;
    } else {
        storeNumber(r);
        r.state = SKIPPING;
    }
}

void* Scan_th(void*) {
    Reader reader;
    int c;
    while ((c = std::getchar()) != EOF) {
        feed(reader, c);
    }
    storeNumber(reader);
    // End of input: the code keeps its last value and this thread is done.
    return nullptr;
}

void exit_handler(int) {
    // Only async-signal-safe calls here: the handler may interrupt anything.
    board_gpio_led(0);
    _exit(0);
}

// SIG_BLOCK or SIG_UNBLOCK the stop signals on the calling thread.
void maskStopSignals(int how) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    pthread_sigmask(how, &set, nullptr);
}

// The stop signals are held back from the start of main until their handlers
// are in place, which is as soon as the LED can be switched off, so that one
// arriving at any moment (in the first wait, say) ends the program as
// documented. Unblocked rather than restored: the parent may have left them
// blocked.
void installHandlers() {
    std::signal(SIGTERM, exit_handler);
    std::signal(SIGINT, exit_handler);
    std::signal(SIGHUP, exit_handler);
    maskStopSignals(SIG_UNBLOCK);
}

// The reader is started with the handled signals blocked, so they always
// interrupt the display loop: a handler on the reader thread could switch the
// LED off while the display loop switches it back on just before the exit.
void startReader() {
    sigset_t handled, previous;
    sigemptyset(&handled);
    sigaddset(&handled, SIGTERM);
    sigaddset(&handled, SIGINT);
    sigaddset(&handled, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &handled, &previous);
    pthread_t thread;
    if (pthread_create(&thread, nullptr, Scan_th, nullptr) == 0) {
        pthread_detach(thread);
    } else {
        // Without a reader the code given at start is shown for good.
        static const char text[] = "qora_led_driver: cannot start the input reader\n";
        ssize_t ignored = write(STDERR_FILENO, text, sizeof text - 1);
        (void)ignored;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void showNextBit() {
    board_gpio_led((byte_control.load() >> byte_control_count) & 1);
    if (++byte_control_count > 7) {
        byte_control_count = 0;
    }
    board_delay_ms(stepMs);
    if (++timer > timerMax) {
        timer = 0;
        board_gpio_led(0);
    }
}

} // namespace

int main(int argc, char* argv[]) {
    // Held back before anything else, so that a stop signal never finds the
    // program half set up.
    maskStopSignals(SIG_BLOCK);
    openStandardDescriptors();
    if (argc == 2) {
        byte_control = codeFromArgument(argv[1]);
    }
    board_lib_init();
    board_gpio_led_init();
    installHandlers();
    board_delay_ms(stepMs);
    board_gpio_led(0);
    startReader();
    for (;;) {
        showNextBit();
    }
}
