#ifndef CONSOLE_H
#define CONSOLE_H

#include <QString>
#include <QStringList>
#include <QTextStream>
#include <mutex>

// The process-wide text streams. Standard output is written by the main,
// console and cycle threads, so every line goes out whole under one lock.
class Console {
  public:
    static QTextStream in;
    static QTextStream out;
    static QTextStream err;

    // Writes the line, its newline and a flush to `out`.
    static void writeLine(const QString& line);
    // Writes several lines with no other line between them.
    static void writeLines(const QStringList& lines);

  private:
    static std::mutex outLock;
};

#endif
