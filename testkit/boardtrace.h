// The simulated board's trace file, parsed. Its operations are named in
// boardops.h.
#ifndef BOARDTRACE_H
#define BOARDTRACE_H

#include "boardops.h"

#include <QList>
#include <QString>

namespace testkit {

struct TraceEntry {
    long long tUs = 0;
    QString op;
    long long value = -1; // -1 when the operation has no value
};

class BoardTrace {
  public:
    explicit BoardTrace(QList<TraceEntry> entries) : all(std::move(entries)) {}
    // The whole file as it is now.
    static BoardTrace read(const QString& path);

    const QList<TraceEntry>& entries() const { return all; }
    QList<TraceEntry> only(const QString& op) const;
    // Every line parsed; false when a line was torn or malformed.
    bool wellFormed() const { return malformed == 0; }
    int malformedLines() const { return malformed; }
    int indexOf(const QString& op, int from = 0) const;
    // The value of the last call of `op`; -1 when there was none.
    long long lastValue(const QString& op) const;

  private:
    friend class TraceReader; // appends as the file grows

    QList<TraceEntry> all;
    int malformed = 0;
};

// Monotonic clock in microseconds, the same clock as the trace.
long long monotonicUs();

} // namespace testkit

#endif
