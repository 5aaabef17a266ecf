// Points the driver's standard output stream at a buffer and hands back the
// whole lines written since the last call.
#ifndef OUTPUTCAPTURE_H
#define OUTPUTCAPTURE_H

#include "console.h"

#include <QBuffer>
#include <QStringList>

class OutputCapture {
  public:
    void start() {
        sink.open(QIODevice::WriteOnly);
        Console::out.setDevice(&sink);
    }

    QStringList takeLines() {
        QStringList lines = QString::fromUtf8(sink.data()).split('\n');
        lines.removeLast(); // after the last newline
        sink.buffer().clear();
        sink.seek(0);
        return lines;
    }

  private:
    QBuffer sink;
};

#endif
