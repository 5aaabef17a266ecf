#include "boardlines.h"

#include "fatalreport.h"
#include "mappedlines.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

namespace {

struct Acquired {
    GpioLine* line;
    std::string label; // "relay_0 (gpiochip1 line 3)"
};

// Set up by the init functions and never freed: other threads and signal
// handlers may use them until the process ends.
MappedLines* mapped = nullptr;
std::atomic<const Acquired*> acquired[signalCount] = {};

[[noreturn]] void fail(const LineFault& fault) {
    FatalReport(fault.status).text(fault.text).exit();
}

void check(const LineFault& fault) {
    if (fault) {
        fail(fault);
    }
}

bool isAcquired(Signal s) {
    return acquired[static_cast<int>(s)].load() != nullptr;
}

// Nothing is requested while any of the lines is held by someone else;
// the checker's moment on a key is waited out by request().
void checkFree(Signal s) {
    GpioChip::LineInfo info;
    check(mapped->info(s, info));
    if (!MappedLines::passing(info)) {
        fail(mapped->heldFault(s, info));
    }
}

void request(Signal s, MappedLines::Clock::time_point deadline) {
    GpioChip::LineInfo holder;
    int err = mapped->request(s, program_invocation_short_name, deadline, holder);
    if (!err) {
        acquired[static_cast<int>(s)] = new Acquired{mapped->line(s), mapped->label(s)};
        return;
    }
    // Taken since it was seen free, or the checker's moment outlasted the
    // wait: say by whom.
    if (err == EBUSY && holder.used) {
        fail(mapped->heldFault(s, holder));
    }
    fail(
        {EX_UNAVAILABLE, mapped->label(s) + ": the kernel refused the request: " + errorText(err)});
}

const Acquired& lineOf(Signal s, const char* op, const char* init) noexcept {
    const Acquired* a = acquired[static_cast<int>(s)].load();
    if (!a) {
        FatalReport(EX_SOFTWARE).text(op).text(" called before ").text(init).exit();
    }
    return *a;
}

} // namespace

namespace boardlines {

void loadMap() {
    if (mapped) {
        return;
    }
    LineMap map = LineMap::read(LineMap::defaultPath());
    if (!map.errors().empty()) {
        fail({EX_CONFIG, map.describe(map.errors().front())});
    }
    mapped = new MappedLines(std::move(map));
}

void acquire(const std::vector<Signal>& signals) {
    loadMap();
    std::vector<Signal> wanted;
    for (Signal s : signals) {
        if (!isAcquired(s)) {
            wanted.push_back(s);
        }
    }
    std::vector<LineFault> missing = mapped->missing(wanted);
    if (!missing.empty()) {
        fail(missing.front());
    }
    check(mapped->openAll(wanted));
    for (Signal s : wanted) {
        checkFree(s);
    }
    // Start-up stays bounded, however the checker's runs fall.
    auto deadline = MappedLines::Clock::now() + MappedLines::checkerWait;
    // Inputs first: a fault there leaves every output untouched.
    for (Signal s : wanted) {
        if (!isOutput(s)) {
            request(s, deadline);
        }
    }
    for (Signal s : wanted) {
        if (isOutput(s)) {
            request(s, deadline);
        }
    }
}

void set(Signal s, uint8_t level, const char* op, const char* init) noexcept {
    const Acquired& a = lineOf(s, op, init);
    int err = a.line->set(level ? 1 : 0);
    if (err) {
        FatalReport(EX_UNAVAILABLE).text(a.label).text(": cannot set it: ").error(err).exit();
    }
}

uint8_t get(Signal s, const char* op, const char* init) noexcept {
    const Acquired& a = lineOf(s, op, init);
    int active = 0;
    int err = a.line->get(active);
    if (err) {
        FatalReport(EX_UNAVAILABLE).text(a.label).text(": cannot read it: ").error(err).exit();
    }
    return active ? 1 : 0;
}

} // namespace boardlines
