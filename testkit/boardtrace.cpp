#include "boardtrace.h"

#include "tracereader.h"

#include <ctime>

namespace testkit {

BoardTrace BoardTrace::read(const QString& path) {
    TraceReader reader(path);
    reader.poll();
    return reader.trace();
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

long long BoardTrace::lastValue(const QString& op) const {
    for (int i = all.size() - 1; i >= 0; --i) {
        if (all[i].op == op) {
            return all[i].value;
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
