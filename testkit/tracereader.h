// Follows the simulated board's trace file while programs append to it:
// every read takes only the bytes added since the one before, so waiting on
// a long trace costs no more than waiting on a short one.
#ifndef TRACEREADER_H
#define TRACEREADER_H

#include "boardtrace.h"

#include <QByteArray>
#include <QString>
#include <functional>

namespace testkit {

class TraceReader {
  public:
    explicit TraceReader(const QString& path) : path(path) {}
    ~TraceReader();
    TraceReader(const TraceReader&) = delete;
    TraceReader& operator=(const TraceReader&) = delete;

    // The calls in the complete lines appended since the last call; a line
    // still being written waits for the next call. When the file has been
    // removed, replaced or cut short, what was read is dropped and the file
    // is read from its start.
    QList<TraceEntry> poll();
    // All read so far.
    const BoardTrace& trace() const { return all; }
    // Reads until `done` holds for all read so far or the time is up.
    bool waitUntil(const std::function<bool(const BoardTrace&)>& done, int timeoutMs);

  private:
    // Opens the file unless the one open is still the file at the path.
    bool reopenIfReplaced();
    void forget();
    void warnOnce(const char* call);
    // One line "<t_us> board_<op>[ <value>]" without its newline.
    static bool parse(const char* p, const char* end, TraceEntry& entry);

    QString path;
    int fd = -1;
    int lastError = 0;
    QByteArray partial;
    BoardTrace all{{}};
};

} // namespace testkit

#endif
