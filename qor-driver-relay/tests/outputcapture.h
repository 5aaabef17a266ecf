// Takes the lines queued for the driver's standard output, as the writer
// thread would, and hands back those queued since the last call.
#ifndef OUTPUTCAPTURE_H
#define OUTPUTCAPTURE_H

#include "console.h"

#include <QStringList>

class OutputCapture {
  public:
    void start() { takeLines(); }

    QStringList takeLines() {
        QByteArray all, bytes;
        while (Console::out.peek(bytes, 1 << 20)) {
            all += bytes;
            Console::out.consumed(bytes.size());
        }
        QStringList lines = QString::fromUtf8(all).split('\n');
        lines.removeLast(); // after the last newline
        return lines;
    }
};

#endif
