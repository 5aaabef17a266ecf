#ifndef CYCLEPIN_H
#define CYCLEPIN_H

#include "pinout.h"

#include <QObject>
#include <QTimer>

// The 100 ms clock: advances both outputs and reports key changes.
class CyclePin : public QObject {
    Q_OBJECT

  public:
    CyclePin(PinOut* pinOut0, PinOut* pinOut1);

  signals:
    // After sl_finish(), once no output has an activation left.
    void finished();

  public slots:
    void sl_start_cycle();
    void sl_timeout();
    // Stops the tick for good and puts the pulse outputs at rest; no relay is
    // written after it returns.
    void sl_stop();
    // Takes no more activations, lets the running ones end on their normal
    // ticks, then emits finished().
    void sl_finish();

  private:
    bool changed_state_key_0();
    bool changed_state_key_1();
    void checkFinished();

    QTimer* timeCycle;
    PinOut* pinOut[2];
    bool stateKey[2];
    bool stopped = false;
    bool finishing = false;
};

#endif
