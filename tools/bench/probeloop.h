// Drives relay and key channels against one running relay driver until each
// has its quota: sends the commands and key flips when they are due, reads the
// driver's output and the board trace, and hands every event to its channel.
#ifndef PROBELOOP_H
#define PROBELOOP_H

#include "boardsandbox.h"
#include "inputwriter.h"
#include "keychannel.h"
#include "programrun.h"
#include "relaychannel.h"
#include "tracereader.h"

#include <QList>
#include <memory>
#include <random>

class ProbeLoop {
  public:
    ProbeLoop(testkit::ProgramRun& driver, const testkit::BoardSandbox& board);

    void add(RelayChannel* relay) { relays << relay; }
    // Keys are added in key order: reports of key N go to the N-th one.
    void add(KeyChannel* key) { keys << key; }
    // Also sends a whole dial-plan exchange ("dialplan", two list ends) in one
    // write every `ms`, so that the console thread answers while the cycle
    // thread reports keys; 0 sends none.
    void setDialogueEvery(int ms) { dialogueEveryUs = ms * 1000LL; }
    // False when the time ran out or the driver ended first.
    bool run(int limitMs);

    // Time between successive ticks of the driver (its key 0 reads).
    const Samples& tickIntervals() const { return ticks; }

  private:
    bool allDone() const;
    void sendDue(long long nowUs);
    void readOutput(long long nowUs);
    void readTrace(long long nowUs);
    // Hands finished writes to their relays; with `wait`, waits for one.
    void collectWrites(bool wait);
    void checkTimeouts(long long nowUs);

    testkit::ProgramRun& driver;
    testkit::TraceReader trace;
    int linesSeen = 0; // of the driver's output
    QList<RelayChannel*> relays;
    QList<KeyChannel*> keys;
    std::unique_ptr<InputWriter> writer;
    std::mt19937 rng{20240607}; // fixed: runs differ only by the machine
    long long dialogueEveryUs = 0;
    long long nextDialogueUs = 0;
    Samples ticks;
    long long lastTickUs = -1;
};

#endif
