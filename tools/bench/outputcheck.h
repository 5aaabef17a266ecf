// Sorts program output lines into known protocol texts and the rest. A torn
// line (two writers interleaved) or any stray text counts as bad.
#ifndef OUTPUTCHECK_H
#define OUTPUTCHECK_H

#include "programrun.h"

#include <QHash>
#include <QString>
#include <QStringList>

class OutputCheck {
  public:
    static bool isProtocolLine(const QString& line);

    // The lines `run` has read since the last call, each checked; `who`
    // names the program.
    QList<testkit::OutputLine> newLines(const testkit::ProgramRun& run, const QString& who);
    // As newLines, for a program that must print nothing: every line is bad.
    void rejectNewLines(const testkit::ProgramRun& run, const QString& who);
    // Checks one line of standard output.
    void check(const QString& who, const QString& line);
    // A line that is bad wherever it came from, e.g. any output of a program
    // that must print nothing.
    void reject(const QString& who, const QString& line);
    int checked() const { return total; }
    int bad() const { return badCount; }
    // The first few bad lines, quoted, for the report.
    const QStringList& examples() const { return shown; }

  private:
    int total = 0;
    int badCount = 0;
    QStringList shown;
    QHash<const testkit::ProgramRun*, int> taken;
};

#endif
