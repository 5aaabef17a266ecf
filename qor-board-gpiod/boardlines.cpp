#include "boardlines.h"

#include "fatalreport.h"
#include "gpioline.h"
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

// Nothing is requested while any of the lines is held by someone else.
void checkFree(Signal s) {
    GpioLine::Info info;
    check(mapped->info(s, info));
    if (info.used) {
        fail(mapped->heldFault(s, info));
    }
}

void request(Signal s) {
    GpioLine& line = *mapped->line(s);
    int err = line.request(*mapped->map().find(s), program_invocation_short_name);
    if (!err) {
        acquired[static_cast<int>(s)] = new Acquired{&line, mapped->label(s)};
        return;
    }
    // Taken since it was seen free: say by whom.
    GpioLine::Info info;
    if (err == EBUSY && !mapped->info(s, info) && info.used) {
        fail(mapped->heldFault(s, info));
    }
    fail({EX_UNAVAILABLE,
          mapped->label(s) + ": the kernel refused the request: " + strerrordesc_np(err)});
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
    // Inputs first: a fault there leaves every output untouched.
    for (Signal s : wanted) {
        if (!isOutput(s)) {
            request(s);
        }
    }
    for (Signal s : wanted) {
        if (isOutput(s)) {
            request(s);
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
