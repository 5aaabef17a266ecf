#include "relayrun.h"

#include "relayprotocol.h"

namespace testkit {
namespace relayrun {

int waitForBanner(ProgramRun& run, int timeoutMs) {
    int ready = run.waitForLine(protocol::ready, timeoutMs);
    if (ready < 0 || !run.waitForLines(ready + 2, 5000) || !run.lines()[ready + 1].text.isEmpty()) {
        return -1;
    }
    return ready + 2;
}

bool waitForTicks(const BoardSandbox& board, int count, int timeoutMs) {
    return board.waitUntilTrace(
        [count](const BoardTrace& trace) {
            return trace.only(boardop::key[0]).size() >= count + 1;
        },
        timeoutMs);
}

} // namespace relayrun
} // namespace testkit
