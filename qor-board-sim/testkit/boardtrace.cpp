#include "boardtrace.h"

#include <QFile>
#include <QRegularExpression>
#include <ctime>

namespace testkit {

BoardTrace BoardTrace::read(const QString& path) {
    static const QRegularExpression form("^(\\d+) (board_[a-z0-9_]+)(?: (\\d+))?$");
    QFile file(path);
    BoardTrace trace({});
    if (!file.open(QIODevice::ReadOnly)) {
        return trace;
    }
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        if (lines[i].isEmpty() && i == lines.size() - 1) {
            break;
        }
        QRegularExpressionMatch m = form.match(QString::fromLatin1(lines[i]));
        if (!m.hasMatch()) {
            ++trace.malformed;
            continue;
        }
        TraceEntry e;
        e.tUs = m.captured(1).toLongLong();
        e.op = m.captured(2);
        e.value = m.captured(3).isEmpty() ? -1 : m.captured(3).toInt();
        trace.all.append(e);
    }
    return trace;
}

QList<TraceEntry> BoardTrace::only(const QString& op) const {
    QList<TraceEntry> out;
    for (const TraceEntry& e : all) {
        if (e.op == op) {
            out.append(e);
        }
    }
    return out;
}

int BoardTrace::indexOf(const QString& op, int from) const {
    for (int i = from; i < all.size(); ++i) {
        if (all[i].op == op) {
            return i;
        }
    }
    return -1;
}

long long monotonicUs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000LL + ts.tv_nsec / 1000;
}

} // namespace testkit
