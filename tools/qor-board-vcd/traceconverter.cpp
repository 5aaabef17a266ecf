#include "traceconverter.h"

#include "boardops.h"
#include "traceline.h"

namespace {

// The calls that carry a signal, in the order of the signals.
const char* const signalOps[] = {boardop::relay[0], boardop::relay[1], boardop::key[0],
                                 boardop::key[1], boardop::led};

} // namespace

TraceConverter::TraceConverter(std::ostream& out)
    : vcd(out, {"relay_0", "relay_1", "key_0", "key_1", "LED"}) {}

bool TraceConverter::add(const std::string& text, std::string& error) {
    TraceLine line;
    if (!TraceLine::parse(text, line)) {
        error = "not a board trace line";
        return false;
    }
    int signal = signalOf(line.op);
    if (signal >= 0 && !line.hasValue) {
        error = line.op + " without a level";
        return false;
    }
    if (line.tUs < lastUs) {
        error = "time " + std::to_string(line.tUs) + " us is before the line before (" +
                std::to_string(lastUs) + " us)";
        return false;
    }
    if (firstUs < 0) {
        firstUs = line.tUs;
        vcd.header("time 0 is " + std::to_string(firstUs) +
                   " us of the board's monotonic clock, the trace's first line");
    }
    lastUs = line.tUs;
    vcd.time(line.tUs - firstUs);
    if (signal >= 0) {
        vcd.set(static_cast<size_t>(signal), line.value ? '1' : '0');
    }
    return true;
}

void TraceConverter::finish() {
    if (firstUs < 0) {
        vcd.header("");
    }
    vcd.finish();
}

int TraceConverter::signalOf(const std::string& op) {
    for (size_t i = 0; i < sizeof signalOps / sizeof signalOps[0]; ++i) {
        if (op == signalOps[i]) {
            return static_cast<int>(i);
        }
    }
    return -1;
}
