#include "linecheck.h"

#include "lineflags.h"
#include "shown.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

std::string holderOf(const GpioChip::LineInfo& info) {
    if (!info.used) {
        return "unused";
    }
    return info.consumer.empty() ? "(unnamed)" : escaped(info.consumer);
}

// A map's fault outweighs the user's lack of permission, which outweighs a
// line that cannot be had.
int weight(int status) {
    switch (status) {
    case EX_CONFIG:
        return 3;
    case EX_NOPERM:
        return 2;
    case 0:
        return 0;
    default:
        return 1;
    }
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
    deadline_ = MappedLines::Clock::now() + MappedLines::checkerWait;
    for (const LineFault& fault : lines.missing(allSignals())) {
        note(err, fault);
    }
    std::vector<Row> rows{
        {"SIGNAL", "CHIP", "LABEL", "LINE", "NAME", "FLAGS", "HOLDER", "VALUE", "ACCESS"}};
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
    if (weight(fault.status) > weight(status_)) {
        status_ = fault.status;
    }
}

bool LineCheck::describe(MappedLines& lines, Signal s, Row& row, std::ostream& err) {
    const LineSpec& spec = *lines.map().find(s);
    LineFault fault = lines.open(s);
    if (fault) {
        note(err, fault);
        // A chip that is there but cannot be opened: what the map tells.
        if (fault.status == EX_CONFIG) {
            return false;
        }
        row = unopened(spec, fault);
        return true;
    }
    GpioChip::LineInfo info;
    fault = lines.info(s, info);
    if (fault) {
        note(err, fault);
        return false;
    }
    const GpioChip& chip = *lines.chip(s);
    std::string name = escaped(info.name);
    std::string value = readValue(lines, s, info, err);
    row = {signalName(s),
           chip.name(),
           chip.label(),
           std::to_string(lines.offset(s)),
           name.empty() ? "-" : name,
           lineflags::text(spec),
           holderOf(info),
           value,
           "yes"};
    return true;
}

// The row of a line whose chip could not be opened: only what the map says
// is known ("?" for the rest), and whether the user lacks the permission.
LineCheck::Row LineCheck::unopened(const LineSpec& spec, const LineFault& fault) {
    const std::string unknown = "?";
    bool byName = spec.chip.empty();
    bool byDevice = spec.chipBy == ChipBy::Name || spec.chipBy == ChipBy::Path;
    return {signalName(spec.signal),
            !byName && byDevice ? escaped(spec.chip) : unknown,
            !byName && spec.chipBy == ChipBy::Label ? escaped(spec.chip) : unknown,
            byName ? unknown : std::to_string(spec.offset),
            byName ? escaped(spec.lineName) : unknown,
            lineflags::text(spec),
            unknown,
            unknown,
            fault.status == EX_NOPERM ? "no" : unknown};
}

// Only a free key line that is an input already is read: requesting any
// other line would change it (an output made an input floats, and a relay
// on it may switch). A line held by a process cannot be read from outside.
// The key is requested as the relay driver requests it, so a request the
// kernel refuses is the same fault the driver would meet; one that another
// program took since it was seen free is shown as held, with its holder.
std::string LineCheck::readValue(MappedLines& lines, Signal s, GpioChip::LineInfo& info,
                                 std::ostream& err) {
    if (info.used || info.output || isOutput(s)) {
        return "-";
    }
    GpioChip::LineInfo holder;
    int refused = lines.request(s, checkerName, deadline_, holder);
    if (refused == EBUSY) {
        info = holder.used ? holder : info;
        return "-";
    }
    if (refused) {
        note(err, {EX_UNAVAILABLE,
                   lines.label(s) + ": the kernel refused the request: " + errorText(refused)});
        return "?";
    }
    GpioLine& line = *lines.line(s);
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
