#include "fatalreport.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// The thread writing the report, 0 before any.
std::atomic<long> reporter{0};

} // namespace

FatalReport::FatalReport(int status) : status_(status) {
    text(program_invocation_short_name).text(": ");
    kept_ = len_;
}

// A line too long for the buffer loses its middle, never the reason at its
// end: the bytes after the program's name make room, marked by "...".
FatalReport& FatalReport::text(const char* s) {
    const unsigned cut = 256;
    for (; *s; ++s) {
        if (len_ == sizeof buf_ - 1) {
            unsigned from = kept_ + 3 + cut;
            memmove(buf_ + kept_ + 3, buf_ + from, len_ - from);
            memcpy(buf_ + kept_, "...", 3);
            len_ -= cut;
        }
        buf_[len_++] = *s;
    }
    return *this;
}

FatalReport& FatalReport::error(int errnum) {
    const char* description = strerrordesc_np(errnum);
    return text(description ? description : "unknown error");
}

void FatalReport::exit() {
    buf_[len_++] = '\n';
    long self = syscall(SYS_gettid);
    long none = 0;
    if (reporter.compare_exchange_strong(none, self)) {
        const char* p = buf_;
        while (len_ > 0) {
            ssize_t done = ::write(STDERR_FILENO, p, len_);
            if (done < 0 && errno == EINTR) {
                continue;
            }
            if (done <= 0) {
                break;
            }
            p += done;
            len_ -= static_cast<unsigned>(done);
        }
        _exit(status_);
    }
    if (none == self) {
        // A signal handler interrupted this thread's own report, which can
        // then never end the process: end it here.
        _exit(status_);
    }
    for (;;) {
        pause();
    }
}
