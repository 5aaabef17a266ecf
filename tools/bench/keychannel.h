// One key under test. It flips the key at random moments and times the
// "Key_N state" report that follows on the driver's standard output.
#ifndef KEYCHANNEL_H
#define KEYCHANNEL_H

#include "boardsandbox.h"
#include "samples.h"

#include <random>

class KeyChannel {
  public:
    KeyChannel(int key, const testkit::BoardSandbox& board, int quota);

    bool due(long long nowUs) const;
    // Sets the opposite state; the time is taken once the board can see it.
    void flip();
    // A "Key_N state: S" line for this key, read at tUs.
    void reported(int state, long long tUs, long long nowUs, std::mt19937& rng);
    void checkTimeout(long long nowUs, std::mt19937& rng);
    bool done() const { return !waiting && flips() >= quota; }

    int flips() const { return latencyMs.count() + lostCount; }
    const Samples& latency() const { return latencyMs; }

  private:
    void schedule(long long nowUs, std::mt19937& rng);

    int key;
    const testkit::BoardSandbox& board;
    int quota;
    bool pressed; // as the key file says
    bool waiting = false;
    long long sentUs = 0;
    long long nextAtUs = 0;
    int lostCount = 0; // flips whose report never came
    Samples latencyMs;
};

#endif
