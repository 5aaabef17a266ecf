// Ignored command lines per second through the relay driver's console: a
// file of "pickup" lines ending in "dialplan" is copied by cat into the
// driver's standard input, and the clock stops when "mask_imit" comes back.
// The same file through cat to /dev/null gives the comparison.
#ifndef CONSOLETHROUGHPUT_H
#define CONSOLETHROUGHPUT_H

#include "programrun.h"

#include <QString>
#include <sys/types.h>

class ConsoleThroughput {
  public:
    ConsoleThroughput(const QString& dir, long long lines);

    // False when the input could not be written or the answer did not come.
    bool measure(testkit::ProgramRun& driver);
    long long lines() const { return lineCount; }
    double driverLinesPerSecond() const { return driverRate; }
    double catLinesPerSecond() const { return catRate; }

  private:
    bool writeInput() const;
    // Starts cat on the input with its standard output on `fd`.
    pid_t startCat(int fd) const;
    static bool catSucceeded(pid_t child);
    // Runs cat to its end; the seconds it took, or -1.
    double runCat(int fd) const;
    double bestCatToNull() const;
    bool timeDriver(testkit::ProgramRun& driver);
    static bool closeDialogue(testkit::ProgramRun& driver);

    QString path;
    long long lineCount;
    double driverRate = 0;
    double catRate = 0;
};

#endif
