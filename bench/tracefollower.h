// Follows the simulated board's trace file while a program appends to it:
// each poll returns the calls added since the last one.
#ifndef TRACEFOLLOWER_H
#define TRACEFOLLOWER_H

#include "boardtrace.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

class TraceFollower {
  public:
    explicit TraceFollower(const QString& path) : path(path) {}
    ~TraceFollower();
    TraceFollower(const TraceFollower&) = delete;
    TraceFollower& operator=(const TraceFollower&) = delete;

    // Complete lines added since the last call; a line still being written
    // waits for the next call.
    QList<testkit::TraceEntry> poll();
    // The value of the last call of `op` read so far; -1 when there was none.
    int lastValue(const QString& op) const { return last.value(op, -1); }
    // Lines that were not "<t_us> board_<op>[ <value>]".
    int malformedLines() const { return malformed; }

  private:
    static bool parse(const QByteArray& line, testkit::TraceEntry& entry);

    QString path;
    int fd = -1;
    QByteArray partial;
    int malformed = 0;
    QHash<QString, int> last;
};

#endif
