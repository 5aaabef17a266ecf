#include "mappedlines.h"

#include "linelocator.h"
#include "shown.h"

#include <algorithm>
#include <cstring>

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
    if (line(s)) {
        return {};
    }
    const LineSpec& spec = *map_.find(s);
    auto line = std::make_unique<GpioLine>();
    LineFault fault = locateLine(spec, *line);
    if (fault) {
        // Another program's signal is resolved only to see that no line is
        // shared; its own faults are left to that program.
        fault.status = needed ? fault.status : 0;
        fault.text = map_.describe(spec.lineNumber, signalName(s), fault.text);
        return fault;
    }
    // Two signals on one line would fight over it; the map is wrong.
    for (int other = 0; other < signalCount; ++other) {
        const GpioLine* o = lines_[other].get();
        if (o && o->chipName() == line->chipName() && o->offset() == line->offset()) {
            Signal os = static_cast<Signal>(other);
            return {EX_CONFIG, map_.describe(spec.lineNumber, signalName(s),
                                             "the same line as " + std::string(signalName(os)) +
                                                 " (" + o->chipName() + " line " +
                                                 std::to_string(o->offset()) + ", map line " +
                                                 std::to_string(map_.find(os)->lineNumber) + ")")};
        }
    }
    lines_[static_cast<int>(s)] = std::move(line);
    return {};
}

std::string MappedLines::label(Signal s) const {
    const GpioLine& l = *line(s);
    return std::string(signalName(s)) + " (" + l.chipName() + " line " +
           std::to_string(l.offset()) + ")";
}

LineFault MappedLines::heldFault(Signal s, const GpioLine::Info& info) const {
    if (info.consumer.empty()) {
        return {EX_UNAVAILABLE, label(s) + " is in use (by a holder without a name)"};
    }
    return {EX_UNAVAILABLE, label(s) + " is held by " + shown(info.consumer)};
}

LineFault MappedLines::info(Signal s, GpioLine::Info& out) const {
    GpioLine& l = *line(s);
    int err = l.info(l.offset(), out);
    if (err) {
        return {EX_UNAVAILABLE,
                label(s) + ": cannot read the line's state: " + strerrordesc_np(err)};
    }
    return {};
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
