// Checks of the relay driver's behaviour over time, read from the simulated
// board's trace. Bounds are loose on purpose: the machine may be loaded and
// the driver may run under an emulator.
#ifndef TRACETIMING_H
#define TRACETIMING_H

#include "boardsandbox.h"
#include "boardtrace.h"
#include "programrun.h"
#include "relayprotocol.h"
#include "relayrun.h"

#include <QList>
#include <QString>

class TraceTiming {
  public:
    static constexpr long long tickUs = testkit::protocol::tickUs;

    // What a reaction may take beyond the tick it waits for.
    static long long slackUs();
    // Waits for the banner; returns the index of the first line after it, or -1.
    static int waitForBanner(testkit::ProgramRun& run);
    // Waits until the cycle has ticked `count` times.
    static bool waitForTicks(const testkit::BoardSandbox& board, int count);
    // Waits until the cycle has ticked `count` times more than it has now.
    static bool waitPastTicks(const testkit::BoardSandbox& board, int count);
    // Waits until the relay written by `op` has been written `count` times
    // after `sinceUs`.
    static bool waitForWrite(const testkit::BoardSandbox& board, const QString& op,
                             long long sinceUs, int count = 1);
    // The writes by `op` after `sentUs` up to `untilUs` must be `levels`, one
    // per tick on consecutive ticks, the first within a tick plus slack of
    // `sentUs`. Returns what is wrong, or an empty text.
    static QString checkWrites(const testkit::BoardTrace& trace, const QString& op,
                               long long sentUs, long long untilUs, const QList<int>& levels);
    // Every tick: relay writes (at most one per relay), then key 0, then key 1.
    static QString checkTickShape(const testkit::BoardTrace& trace);
    // Ticks per second over the trace.
    static double tickRate(const testkit::BoardTrace& trace);
    // The readings of a key in the ticks, after the silent first reading,
    // reduced to the changes: the lines the driver owes for that key.
    static QStringList expectedKeyLines(const testkit::BoardTrace& trace, int key);
};

#endif
