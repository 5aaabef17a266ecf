#include "mappedlines.h"

#include "linelocator.h"
#include "shown.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

namespace {

// The pauses between tries at a line the checker holds: short at first, as
// its hold is, and longer if it was descheduled while holding it.
const std::chrono::milliseconds firstPause{1};
const std::chrono::milliseconds longestPause{32};

} // namespace

std::vector<LineFault> MappedLines::missing(const std::vector<Signal>& signals) const {
    std::vector<LineFault> faults;
    for (Signal s : signals) {
        if (!map_.find(s)) {
            faults.push_back({EX_CONFIG, map_.describe(0, signalName(s), "not in the map")});
        }
    }
    return faults;
}

LineFault MappedLines::open(Signal s) {
    return open(s, true);
}

LineFault MappedLines::open(Signal s, bool needed) {
    if (chip(s)) {
        return {};
    }
    const LineSpec& spec = *map_.find(s);
    auto opened = std::make_unique<Opened>();
    LineFault fault = locateLine(spec, opened->chip, opened->offset);
    if (fault) {
        // Another program's signal is resolved only to see that no line is
        // shared; its own faults are left to that program.
        fault.status = needed ? fault.status : 0;
        fault.text = map_.describe(spec.lineNumber, signalName(s), fault.text);
        return fault;
    }
    // Two signals on one line would fight over it; the map is wrong.
    for (int other = 0; other < signalCount; ++other) {
        const Opened* o = opened_[other].get();
        if (o && o->chip.name() == opened->chip.name() && o->offset == opened->offset) {
            Signal os = static_cast<Signal>(other);
            return {EX_CONFIG, map_.describe(spec.lineNumber, signalName(s),
                                             "the same line as " + std::string(signalName(os)) +
                                                 " (" + o->chip.name() + " line " +
                                                 std::to_string(o->offset) + ", map line " +
                                                 std::to_string(map_.find(os)->lineNumber) + ")")};
        }
    }
    opened_[static_cast<int>(s)] = std::move(opened);
    return {};
}

const GpioChip* MappedLines::chip(Signal s) const {
    const Opened* o = opened_[static_cast<int>(s)].get();
    return o ? &o->chip : nullptr;
}

GpioLine* MappedLines::line(Signal s) const {
    Opened* o = opened_[static_cast<int>(s)].get();
    return o ? &o->line : nullptr;
}

std::string MappedLines::label(Signal s) const {
    return std::string(signalName(s)) + " (" + chip(s)->name() + " line " +
           std::to_string(offset(s)) + ")";
}

LineFault MappedLines::heldFault(Signal s, const GpioChip::LineInfo& info) const {
    if (info.consumer.empty()) {
        return {EX_UNAVAILABLE, label(s) + " is in use (by a holder without a name)"};
    }
    return {EX_UNAVAILABLE, label(s) + " is held by " + shown(info.consumer)};
}

LineFault MappedLines::info(Signal s, GpioChip::LineInfo& out) const {
    int err = chip(s)->info(offset(s), out);
    if (err) {
        return {EX_UNAVAILABLE, label(s) + ": cannot read the line's state: " + errorText(err)};
    }
    return {};
}

bool MappedLines::passing(const GpioChip::LineInfo& info) {
    return !info.used || info.consumer == checkerName;
}

int MappedLines::request(Signal s, const char* consumer, Clock::time_point deadline,
                         GpioChip::LineInfo& holder) {
    Opened& o = *opened_[static_cast<int>(s)];
    const LineSpec& spec = *map_.find(s);
    std::chrono::milliseconds pause = firstPause;
    for (;;) {
        int err = o.chip.request(o.offset, spec, consumer, o.line);
        if (err != EBUSY) {
            return err;
        }
        holder = {};
        if (o.chip.info(o.offset, holder) != 0 || !passing(holder) ||
            Clock::now() + pause > deadline) {
            return err;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, longestPause);
    }
}

LineFault MappedLines::openAll(const std::vector<Signal>& wanted) {
    for (int i = 0; i < signalCount; ++i) {
        Signal s = static_cast<Signal>(i);
        if (!map_.find(s)) {
            continue;
        }
        bool needed = std::find(wanted.begin(), wanted.end(), s) != wanted.end();
        LineFault fault = open(s, needed);
        if (fault) {
            return fault;
        }
    }
    return {};
}
