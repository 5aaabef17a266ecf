#include "probeloop.h"

#include "relayprotocol.h"

using namespace testkit::protocol;

namespace {
const int pollMs = 2;
const int settleMs = 300; // for replies still on their way at the end
} // namespace

ProbeLoop::ProbeLoop(testkit::ProgramRun& driver, const testkit::BoardSandbox& board)
    : driver(driver), trace(board.tracePath()) {}

bool ProbeLoop::run(int limitMs) {
    long long endUs = testkit::monotonicUs() + limitMs * 1000LL;
    nextDialogueUs = testkit::monotonicUs();
    linesSeen = driver.lines().size();
    writer = std::make_unique<InputWriter>(driver);
    trace.poll(); // earlier calls only give the levels the relays start from
    for (RelayChannel* r : relays) {
        r->startFrom(trace.trace().lastValue(r->traceOp()));
    }
    bool finished = true;
    while (!allDone()) {
        if (testkit::monotonicUs() > endUs || !driver.running()) {
            finished = false;
            break;
        }
        sendDue(testkit::monotonicUs());
        driver.pump(pollMs);
        long long now = testkit::monotonicUs();
        collectWrites(false);
        readOutput(now);
        readTrace(now);
        checkTimeouts(now);
    }
    driver.pump(settleMs);
    readOutput(testkit::monotonicUs());
    readTrace(testkit::monotonicUs());
    writer.reset();
    return finished;
}

bool ProbeLoop::allDone() const {
    for (const RelayChannel* r : relays) {
        if (!r->done()) {
            return false;
        }
    }
    for (const KeyChannel* k : keys) {
        if (!k->done()) {
            return false;
        }
    }
    return true;
}

void ProbeLoop::sendDue(long long nowUs) {
    for (int i = 0; i < relays.size(); ++i) {
        if (relays[i]->due(nowUs)) {
            relays[i]->queued();
            writer->send(i, relays[i]->command());
        }
    }
    for (KeyChannel* k : keys) {
        if (k->due(nowUs)) {
            k->flip();
        }
    }
    if (dialogueEveryUs > 0 && nowUs >= nextDialogueUs) {
        writer->send(-1, "dialplan\n-1\n-1\n");
        nextDialogueUs = nowUs + dialogueEveryUs;
    }
}

void ProbeLoop::readOutput(long long nowUs) {
    const QList<testkit::OutputLine>& lines = driver.lines();
    for (; linesSeen < lines.size(); ++linesSeen) {
        const testkit::OutputLine& line = lines[linesSeen];
        for (int key = 0; key < keys.size(); ++key) {
            for (int state : {0, 1}) {
                if (line.text == keyReport(key, state)) {
                    keys[key]->reported(state, line.tUs, nowUs, rng);
                }
            }
        }
    }
}

void ProbeLoop::readTrace(long long nowUs) {
    static const QString tickOp = boardop::key[0]; // read once on every tick
    for (const testkit::TraceEntry& e : trace.poll()) {
        if (e.op == tickOp) {
            if (lastTickUs >= 0) {
                ticks.add(static_cast<double>(e.tUs - lastTickUs) / 1000.0);
            }
            lastTickUs = e.tUs;
        }
        for (RelayChannel* r : relays) {
            if (e.op != r->traceOp()) {
                continue;
            }
            // A change can only follow a write that is done; its report
            // from the writer thread may still be on the way.
            while (r->isQueued() && e.value != r->level()) {
                collectWrites(true);
            }
            r->levelCalled(e.tUs, e.value, nowUs, rng);
        }
    }
}

void ProbeLoop::collectWrites(bool wait) {
    for (const InputWriter::Done& d : writer->takeDone(wait)) {
        if (d.tag >= 0) {
            relays[d.tag]->sent(d.callUs, d.doneUs);
        }
    }
}

void ProbeLoop::checkTimeouts(long long nowUs) {
    for (RelayChannel* r : relays) {
        r->checkTimeout(nowUs, rng);
    }
    for (KeyChannel* k : keys) {
        k->checkTimeout(nowUs, rng);
    }
}
