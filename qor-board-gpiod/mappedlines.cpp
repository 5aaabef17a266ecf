#include "mappedlines.h"

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
    const LineSpec& spec = *map_.find(s);
    auto line = std::make_unique<GpioLine>();
    LineFault fault = line->open(spec);
    if (fault) {
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
    return {EX_UNAVAILABLE, label(s) + " is held by \"" + info.consumer + "\""};
}
