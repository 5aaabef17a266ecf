#include "linecheck.h"

#include "shown.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

std::string flagsOf(const LineSpec& spec) {
    static const char* const biasNames[] = {"", "pull-up", "pull-down", "bias-disable"};
    std::string flags = spec.activeLow ? "active-low" : "";
    if (spec.bias != Bias::AsIs) {
        flags += (flags.empty() ? "" : ",") + std::string(biasNames[static_cast<int>(spec.bias)]);
    }
    if (spec.drive != Drive::PushPull) {
        flags += (flags.empty() ? "" : ",") +
                 std::string(spec.drive == Drive::OpenDrain ? "open-drain" : "open-source");
    }
    if (spec.debounceMs >= 0) {
        flags +=
            (flags.empty() ? "" : ",") + std::string("debounce=") + std::to_string(spec.debounceMs);
    }
    return flags.empty() ? "-" : flags;
}

std::string holderOf(const GpioLine::Info& info) {
    if (!info.used) {
        return "unused";
    }
    return info.consumer.empty() ? "(unnamed)" : escaped(info.consumer);
}

std::vector<Signal> allSignals() {
    std::vector<Signal> all;
    for (int i = 0; i < signalCount; ++i) {
        all.push_back(static_cast<Signal>(i));
    }
    return all;
}

} // namespace

int LineCheck::run(std::ostream& out, std::ostream& err) {
    LineMap map = LineMap::read(path_);
    noteMapErrors(map, err);
    if (status_) {
        return status_;
    }
    MappedLines lines(std::move(map));
    for (const LineFault& fault : lines.missing(allSignals())) {
        note(err, fault);
    }
    std::vector<Row> rows{{"SIGNAL", "CHIP", "LABEL", "LINE", "NAME", "FLAGS", "HOLDER", "VALUE"}};
    for (Signal s : allSignals()) {
        Row row;
        if (lines.map().find(s) && describe(lines, s, row, err)) {
            rows.push_back(row);
        }
    }
    if (rows.size() > 1) {
        print(out, rows);
    }
    return status_;
}

// A map has five signals at most; a file with many more faults is some
// other text file, which is not echoed back line by line.
void LineCheck::noteMapErrors(const LineMap& map, std::ostream& err) {
    const size_t maxShown = 10;
    const std::vector<LineMap::Error>& errors = map.errors();
    for (size_t i = 0; i < errors.size() && i < maxShown; ++i) {
        note(err, {EX_CONFIG, map.describe(errors[i])});
    }
    if (errors.size() > maxShown) {
        note(err, {EX_CONFIG, map.describe(0, "",
                                           std::to_string(errors.size() - maxShown) +
                                               " more faults not shown (is it a line map?)")});
    }
}

void LineCheck::note(std::ostream& err, const LineFault& fault) {
    err << program_invocation_short_name << ": " << fault.text << '\n';
    if (status_ != EX_CONFIG) {
        status_ = fault.status;
    }
}

bool LineCheck::describe(MappedLines& lines, Signal s, Row& row, std::ostream& err) {
    LineFault fault = lines.open(s);
    if (fault) {
        note(err, fault);
        return false;
    }
    GpioLine& line = *lines.line(s);
    GpioLine::Info info;
    fault = lines.info(s, info);
    if (fault) {
        note(err, fault);
        return false;
    }
    const LineSpec& spec = *lines.map().find(s);
    std::string name = escaped(info.name);
    row = {signalName(s),
           line.chipName(),
           line.chipLabel(),
           std::to_string(line.offset()),
           name.empty() ? "-" : name,
           flagsOf(spec),
           holderOf(info),
           readValue(lines, s, info, err)};
    return true;
}

// Only a free key line that is an input already is read: requesting any
// other line would change it (an output made an input floats, and a relay
// on it may switch). A line held by a process cannot be read from outside.
// The key is requested as the relay driver requests it, so a request the
// kernel refuses is the same fault the driver would meet.
std::string LineCheck::readValue(MappedLines& lines, Signal s, const GpioLine::Info& info,
                                 std::ostream& err) {
    if (info.used || info.output || isOutput(s)) {
        return "-";
    }
    GpioLine& line = *lines.line(s);
    int refused = line.request(*lines.map().find(s), program_invocation_short_name);
    if (refused) {
        note(err, {EX_UNAVAILABLE,
                   lines.label(s) + ": the kernel refused the request: " + errorText(refused)});
        return "?";
    }
    int active = 0;
    int errnum = line.get(active);
    line.release();
    if (errnum) {
        note(err, {EX_UNAVAILABLE, lines.label(s) + ": cannot read it: " + errorText(errnum)});
        return "?";
    }
    return std::to_string(active);
}

void LineCheck::print(std::ostream& out, const std::vector<Row>& rows) {
    std::vector<size_t> width(rows.front().size(), 0);
    for (const Row& row : rows) {
        for (size_t i = 0; i < row.size(); ++i) {
            width[i] = std::max(width[i], row[i].size());
        }
    }
    for (const Row& row : rows) {
        std::string text;
        for (size_t i = 0; i < row.size(); ++i) {
            text += row[i];
            if (i + 1 < row.size()) {
                text += std::string(width[i] - row[i].size() + 2, ' ');
            }
        }
        out << text << '\n';
    }
}
