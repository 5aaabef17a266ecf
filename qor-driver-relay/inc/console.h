#ifndef CONSOLE_H
#define CONSOLE_H

#include "linereader.h"
#include "outputqueue.h"

#include <QString>
#include <QStringList>
#include <QTextStream>

// The process-wide streams. Lines for standard output go through one queue
// that a writer thread of its own empties, so no other thread ever waits for
// the reader: every line stays whole and in the order it was queued.
class Console {
  public:
    static LineReader in;
    static OutputQueue out;
    static QTextStream err;

    // Queues the line, waiting for room when the reader is slow.
    static void writeLine(const QString& line);
    // Queues several lines that stay together, waiting for room.
    static void writeLines(const QStringList& lines);
    // Queues the line only if there is room now; otherwise it is dropped
    // and counted. For the cycle thread, which must never wait.
    static void offerLine(const QString& line);
    // One line on standard error, "qor-driver-relay: " and `text`, from any
    // thread; standard output carries the protocol only.
    static void warn(const QString& text);
};

#endif
