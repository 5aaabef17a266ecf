#include "failsafe.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <sys/types.h>
#include <unistd.h>

namespace {

struct Rest {
    FailSafe::Setter setter;
    uint8_t level;
};

const int maxRests = 2;
Rest rests[maxRests];
std::atomic<int> restCount{0};

// A handshake between the handler and a relay write on another thread: each
// side announces itself before it looks at the other (sequentially
// consistent), so either the write sees the crash and is skipped, or the
// handler sees the write and waits for it to end.
std::atomic<bool> crashing{false};
std::atomic<pid_t> writer{0};

// How long the handler waits for a write on another thread to end.
const int writeWaitSteps = 200;
const long writeWaitStepNs = 100000;

pid_t threadId() {
    static thread_local pid_t id = gettid();
    return id;
}

void awaitOtherWriter(pid_t self) {
    timespec step{0, writeWaitStepNs};
    for (int i = 0; i < writeWaitSteps; ++i) {
        pid_t busy = writer.load();
        if (busy == 0 || busy == self) {
            return;
        }
        nanosleep(&step, nullptr);
    }
}

void onCrash(int signum) {
    crashing.store(true);
    awaitOtherWriter(gettid());
    int count = restCount.load();
    for (int i = 0; i < count; ++i) {
        rests[i].setter(rests[i].level);
    }
    struct sigaction fallback = {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signum, &fallback, nullptr);
    // Still blocked in here: delivered with the default action on return.
    raise(signum);
}

const int crashSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

} // namespace

namespace FailSafe {

void install() {
    onThisThread();
    struct sigaction action = {};
    action.sa_handler = onCrash;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_ONSTACK;
    for (int signum : crashSignals) {
        sigaction(signum, &action, nullptr);
    }
}

void onThisThread() {
    stack_t stack{};
    // A run-time checker may have given the thread one already, which it
    // will free itself.
    if (sigaltstack(nullptr, &stack) == 0 && !(stack.ss_flags & SS_DISABLE)) {
        return;
    }
    stack = stack_t{};
    stack.ss_size = 64 * 1024;
    stack.ss_sp = std::malloc(stack.ss_size); // lives as long as the thread
    if (stack.ss_sp && sigaltstack(&stack, nullptr) != 0) {
        std::free(stack.ss_sp);
    }
}

void restOnCrash(Setter setter, uint8_t level) {
    int count = restCount.load();
    if (count < maxRests) {
        rests[count] = {setter, level};
        restCount.store(count + 1);
    }
}

void write(Setter setter, uint8_t level) {
    writer.store(threadId());
    if (!crashing.load()) {
        setter(level);
    }
    writer.store(0);
}

} // namespace FailSafe
