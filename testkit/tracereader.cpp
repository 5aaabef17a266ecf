#include "tracereader.h"

#include "traceline.h"

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

bool TraceReader::parse(const char* p, const char* end, TraceEntry& entry) {
    TraceLine line;
    if (!TraceLine::parse(std::string_view(p, size_t(end - p)), line)) {
        return false;
    }
    entry.tUs = line.tUs;
    entry.op = QString::fromLatin1(line.op.data(), int(line.op.size()));
    entry.value = line.hasValue ? static_cast<long long>(line.value) : -1;
    return true;
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
