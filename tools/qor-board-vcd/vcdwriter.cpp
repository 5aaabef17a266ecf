#include "vcdwriter.h"

#include "qorversion.h"

#include <utility>

VcdWriter::VcdWriter(std::ostream& out, std::vector<std::string> names)
    : out(out), names(std::move(names)), levels(this->names.size(), 'x'), shown(levels) {}

void VcdWriter::header(const std::string& comment) {
    out << "$version qor-board-vcd " QOR_VERSION " $end\n";
    if (!comment.empty()) {
        out << "$comment " << comment << " $end\n";
    }
    out << "$timescale 1 us $end\n$scope module board $end\n";
    for (size_t i = 0; i < names.size(); ++i) {
        out << "$var wire 1 " << code(i) << ' ' << names[i] << " $end\n";
    }
    out << "$upscope $end\n$enddefinitions $end\n";
}

void VcdWriter::time(long long t) {
    if (t != now) {
        flush();
        now = t;
    }
}

void VcdWriter::set(size_t signal, char level) {
    levels[signal] = level;
}

void VcdWriter::finish() {
    flush();
    if (now >= 0) {
        out << '#' << now + 1 << '\n';
    }
}

// The first time stamp dumps every signal; later ones only those whose level
// differs from the one last written.
void VcdWriter::flush() {
    if (now < 0 || (dumped && levels == shown)) {
        return;
    }
    out << '#' << now << '\n' << (dumped ? "" : "$dumpvars\n");
    for (size_t i = 0; i < levels.size(); ++i) {
        if (levels[i] != shown[i] || !dumped) {
            out << levels[i] << code(i) << '\n';
        }
    }
    out << (dumped ? "" : "$end\n");
    shown = levels;
    dumped = true;
}

// One printable character from '!' on per signal; there are only a few.
char VcdWriter::code(size_t signal) const {
    return static_cast<char>('!' + signal);
}
