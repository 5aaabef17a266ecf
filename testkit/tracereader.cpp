#include "tracereader.h"

#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace testkit {

namespace {

// While waiting, new lines are looked for this often; a look costs a stat
// and a read that mostly returns nothing.
const int lookEveryMs = 5;

// Reads decimal digits from p on; returns where they end (p when none).
const char* readDigits(const char* p, const char* end, long long& value) {
    value = 0;
    for (; p < end && isdigit(static_cast<unsigned char>(*p)); ++p) {
        value = value * 10 + (*p - '0');
    }
    return p;
}

bool isOpChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

} // namespace

TraceReader::~TraceReader() {
    forget();
}

void TraceReader::forget() {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
    partial.clear();
    all = BoardTrace({});
}

bool TraceReader::reopenIfReplaced() {
    QByteArray name = QFile::encodeName(path);
    struct stat atPath, opened;
    if (stat(name.constData(), &atPath) != 0) {
        if (errno != ENOENT) {
            warnOnce("stat");
        }
        forget(); // not written yet, or removed
        return false;
    }
    if (fd >= 0 && fstat(fd, &opened) == 0 && opened.st_dev == atPath.st_dev &&
        opened.st_ino == atPath.st_ino && atPath.st_size >= lseek(fd, 0, SEEK_CUR)) {
        return true;
    }
    forget();
    fd = open(name.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno != ENOENT) {
        warnOnce("open");
    }
    return fd >= 0;
}

// Looks repeat every few milliseconds while a test waits: one warning for a
// failure, and another only when the failure changes.
void TraceReader::warnOnce(const char* call) {
    int error = errno;
    if (error != lastError) {
        qWarning("testkit: %s %s: %s", call, qPrintable(path), strerror(error));
        lastError = error;
    }
}

QList<TraceEntry> TraceReader::poll() {
    QList<TraceEntry> fresh;
    if (!reopenIfReplaced()) {
        return fresh;
    }
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) {
        partial.append(buf, static_cast<int>(n));
    }
    if (n < 0) {
        warnOnce("read");
    }
    const char* data = partial.constData();
    int start = 0, nl;
    while ((nl = partial.indexOf('\n', start)) >= 0) {
        TraceEntry e;
        if (parse(data + start, data + nl, e)) {
            fresh.append(e);
        } else {
            ++all.malformed;
        }
        start = nl + 1;
    }
    partial.remove(0, start);
    all.all.append(fresh);
    return fresh;
}

// A hand-written match: a regular expression per line would cost more than
// the programs being measured.
bool TraceReader::parse(const char* p, const char* end, TraceEntry& entry) {
    static const char prefix[] = "board_";
    const int prefixSize = sizeof prefix - 1;
    const char* afterTime = readDigits(p, end, entry.tUs);
    if (afterTime == p || end - afterTime < 2 + prefixSize || *afterTime != ' ' ||
        qstrncmp(afterTime + 1, prefix, prefixSize) != 0) {
        return false;
    }
    const char* op = afterTime + 1;
    const char* opEnd = op + prefixSize;
    while (opEnd < end && isOpChar(*opEnd)) {
        ++opEnd;
    }
    if (opEnd == op + prefixSize) {
        return false;
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

bool TraceReader::waitUntil(const std::function<bool(const BoardTrace&)>& done, int timeoutMs) {
    QElapsedTimer t;
    t.start();
    poll();
    while (!done(all)) {
        do {
            if (t.elapsed() >= timeoutMs) {
                return false;
            }
            QThread::msleep(lookEveryMs);
        } while (poll().isEmpty());
    }
    return true;
}

} // namespace testkit
