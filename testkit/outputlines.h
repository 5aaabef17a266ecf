// The lines a program writes to standard output, each with the time the
// test read it whole.
#ifndef OUTPUTLINES_H
#define OUTPUTLINES_H

#include <QByteArray>
#include <QList>
#include <QStringList>

namespace testkit {

struct OutputLine {
    long long tUs; // monotonic time at which the whole line was read
    QString text;
};

class OutputLines {
  public:
    // Bytes as read; complete lines are split off, the rest waits for more.
    void append(const char* data, int size);
    const QList<OutputLine>& all() const { return lines; }
    int count() const { return lines.size(); }
    // Bytes of a line still incomplete.
    int partialBytes() const { return partial.size(); }
    QStringList texts(int from = 0) const;
    // Index of the first line from `from` on equal to `text`, or -1.
    int indexOf(const QString& text, int from = 0) const;

  private:
    QByteArray partial;
    QList<OutputLine> lines;
};

} // namespace testkit

#endif
