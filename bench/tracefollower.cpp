#include "tracefollower.h"

#include <QFile>
#include <cctype>
#include <fcntl.h>
#include <unistd.h>

TraceFollower::~TraceFollower() {
    if (fd >= 0) {
        close(fd);
    }
}

QList<testkit::TraceEntry> TraceFollower::poll() {
    QList<testkit::TraceEntry> entries;
    if (fd < 0) {
        fd = open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return entries; // not written yet
        }
    }
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) {
        partial.append(buf, static_cast<int>(n));
    }
    int start = 0, nl;
    while ((nl = partial.indexOf('\n', start)) >= 0) {
        testkit::TraceEntry e;
        if (parse(partial.mid(start, nl - start), e)) {
            last[e.op] = e.value;
            entries.append(e);
        } else {
            ++malformed;
        }
        start = nl + 1;
    }
    partial.remove(0, start);
    return entries;
}

namespace {

// Reads decimal digits from p on; returns where they end (p when none).
const char* readDigits(const char* p, const char* end, long long& value) {
    value = 0;
    for (; p < end && isdigit(static_cast<unsigned char>(*p)); ++p) {
        value = value * 10 + (*p - '0');
    }
    return p;
}

bool isOpChar(char c) {
    return islower(static_cast<unsigned char>(c)) || isdigit(static_cast<unsigned char>(c)) ||
           c == '_';
}

} // namespace

// A hand-written match of the trace form; a regular expression per line
// would cost more than the programs being measured.
bool TraceFollower::parse(const QByteArray& line, testkit::TraceEntry& entry) {
    static const QByteArray prefix = "board_";
    const char* p = line.constData();
    const char* end = p + line.size();
    const char* afterTime = readDigits(p, end, entry.tUs);
    if (afterTime == p || end - afterTime < 1 + prefix.size() || *afterTime != ' ' ||
        !line.mid(static_cast<int>(afterTime + 1 - p)).startsWith(prefix)) {
        return false;
    }
    const char* op = afterTime + 1;
    const char* opEnd = op + prefix.size();
    while (opEnd < end && isOpChar(*opEnd)) {
        ++opEnd;
    }
    entry.op = QString::fromLatin1(op, static_cast<int>(opEnd - op));
    entry.value = -1;
    if (opEnd == end) {
        return true;
    }
    long long value = 0;
    const char* valueEnd = readDigits(opEnd + 1, end, value);
    entry.value = static_cast<int>(value);
    return *opEnd == ' ' && valueEnd > opEnd + 1 && valueEnd == end;
}
