#include "simout.h"

#include "simconfig.h"

#include <ctime>
#include <unistd.h>

namespace {

// A fixed-size line builder; stdio is not allowed on the signal path.
struct Line {
    char buf[256];
    unsigned len = 0;

    Line& text(const char* s) {
        while (*s && len < sizeof buf - 1) {
            buf[len++] = *s++;
        }
        return *this;
    }
    Line& number(unsigned long long v) {
        char digits[24];
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v);
        while (n && len < sizeof buf - 1) {
            buf[len++] = digits[--n];
        }
        return *this;
    }
    void writeTo(int fd) {
        buf[len++] = '\n';
        ssize_t ignored = ::write(fd, buf, len);
        (void)ignored;
    }
};

} // namespace

namespace simout {

long long nowUs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000LL + ts.tv_nsec / 1000;
}

void trace(long long tUs, const char* op, uint32_t value, bool hasValue) {
    int fd = simconfig::traceFd();
    if (fd < 0) {
        return;
    }
    Line line;
    line.number(static_cast<unsigned long long>(tUs)).text(" ").text(op);
    if (hasValue) {
        line.text(" ").number(value);
    }
    line.writeTo(fd);
}

void show(const char* device, int level) {
    Line line;
    line.text("board: ").text(device).text(level ? " on" : " off").writeTo(STDERR_FILENO);
}

void warnOrder(const char* op, const char* init) {
    Line line;
    line.text("board: warning: ")
        .text(op)
        .text(" called before ")
        .text(init)
        .writeTo(STDERR_FILENO);
}

void warn(const char* text, const char* more) {
    Line line;
    line.text("board: warning: ").text(text).text(more).writeTo(STDERR_FILENO);
}

} // namespace simout
