#ifndef CYCLEPIN_H
#define CYCLEPIN_H

#include "pinout.h"

#include <QObject>
#include <QTimer>
#include <atomic>

// The 100 ms clock: advances both outputs and reports key changes.
class CyclePin : public QObject {
    Q_OBJECT

  public:
    CyclePin(PinOut* pinOut0, PinOut* pinOut1);

    // From any thread. Both are carried out by the next tick, on the cycle
    // thread, so that no tick can overtake them.
    // Stops the tick for good with the pulse outputs at rest, then emits
    // stopped(); no relay is written after that.
    void requestStop();
    // Takes no more activations and lets the running ones end on their
    // normal ticks, then emits finished().
    void requestFinish();
    // Puts the pulse outputs at rest, then calls `suspend` on the cycle
    // thread (which stops the process until it is continued); the tick goes
    // on afterwards and activations are taken again.
    void requestSuspend(void (*suspend)());

  signals:
    void stopped();
    void finished();

  public slots:
    void sl_start_cycle();
    void sl_timeout();

  private:
    bool changed_state_key_0();
    bool changed_state_key_1();
    void stopAtRest();
    void restPulses();
    bool busy() const;
    void closeOutputs();

    QTimer* timeCycle;
    PinOut* pinOut[2];
    bool stateKey[2];
    enum Request { RUN, FINISH, STOP };
    std::atomic<int> request{RUN};
    std::atomic<void (*)()> suspendRequest{nullptr};
    bool done = false; // stopped() or finished() was emitted
};

#endif
