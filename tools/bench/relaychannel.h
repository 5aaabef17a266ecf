// One relay under test. It sends "open N" at random moments and times what
// follows in the board trace: the level change (command-to-relay latency,
// from the moment the line is in the driver's input pipe) and, for a pulse
// output, the pulse's length.
#ifndef RELAYCHANNEL_H
#define RELAYCHANNEL_H

#include "samples.h"

#include <QByteArray>
#include <QString>
#include <random>

class RelayChannel {
  public:
    // pulseTicks 0: a toggle output; otherwise a pulse output of that length.
    RelayChannel(int relay, int pulseTicks, int quota);

    QString traceOp() const;
    // The relay's level before the channel starts (-1: not known yet); it
    // is the resting level of a pulse output.
    void startFrom(int level);
    QByteArray command() const;
    // Ready for the next "open": nothing in flight, quota not reached, the
    // random pause over and the resting level known.
    bool due(long long nowUs) const;
    // The "open" went to the writer; it is in the pipe once sent() is called.
    void queued() { phase = QUEUED; }
    bool isQueued() const { return phase == QUEUED; }
    // The "open" entered the pipe at doneUs; the write began at callUs.
    void sent(long long callUs, long long doneUs);
    // A call of this relay's setter found in the trace.
    void levelCalled(long long tUs, int level, long long nowUs, std::mt19937& rng);
    // Gives up on an activation that never showed.
    void checkTimeout(long long nowUs, std::mt19937& rng);
    bool done() const;
    int level() const { return currentLevel; }

    const Samples& latency() const { return latencyMs; }
    const Samples& pulseError() const { return pulseErrorMs; }
    const Samples& writeWait() const { return writeWaitMs; }

  private:
    enum Phase { IDLE, QUEUED, SENT, PULSING };

    void rest(long long nowUs, std::mt19937& rng);
    void onChange(long long tUs, long long nowUs, std::mt19937& rng);
    long long timeoutUs() const;

    int relay;
    int pulseTicks;
    int quota;
    int currentLevel = -1; // last level set; -1 before the first call
    int restLevel = -1;    // the level at start
    Phase phase = IDLE;
    long long nextAtUs = 0;
    long long sentUs = 0;
    long long riseUs = 0;
    int completed = 0;
    int lostCount = 0; // activations that never showed
    Samples latencyMs;
    Samples pulseErrorMs;
    Samples writeWaitMs;
};

#endif
