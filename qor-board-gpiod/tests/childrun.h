// Runs a program of the build for a test and collects how it ended.
#ifndef CHILDRUN_H
#define CHILDRUN_H

#include <QString>
#include <QStringList>

namespace childrun {

struct Run {
    int status; // the exit status, -1 if it did not exit
    QString out;
    QString err;
};

// Runs a program of the build (through the emulator in a cross build) with
// QOR_BOARD_LINES set to map, or unset if map is null, and the variables in
// env, and waits up to 60 s for it. fork and exec rather than QProcess, whose
// start-up goes wrong inside qemu-arm.
Run run(const QString& program, const QStringList& args, const QString& map,
        const QStringList& env = {});

} // namespace childrun

#endif
