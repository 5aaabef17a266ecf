// The relay driver's start as its peer and its board see it, for the
// end-to-end tests, the trace converter's test and the benchmark.
#ifndef RELAYRUN_H
#define RELAYRUN_H

#include "boardsandbox.h"
#include "programrun.h"

namespace testkit {
namespace relayrun {

// Waits for the banner and the empty line after it; the index of the first
// line after those, or -1.
int waitForBanner(ProgramRun& run, int timeoutMs);
// Waits until the cycle has ticked `count` times: the board's trace shows
// one reading of key 0 a tick, after the silent first one.
bool waitForTicks(const BoardSandbox& board, int count, int timeoutMs);

} // namespace relayrun
} // namespace testkit

#endif
