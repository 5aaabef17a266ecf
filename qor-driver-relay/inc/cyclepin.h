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

  public slots:
    void sl_start_cycle();
    void sl_timeout();

  private:
    bool changed_state_key_0();
    bool changed_state_key_1();
    // What the driver's way out asks of this tick (see StopControl); false
    // when the tick is over.
    bool carryOutStop();
    void restPulses();
    bool busy() const;

    QTimer* timeCycle;
    PinOut* pinOut[2];
    bool stateKey[2];
};

#endif
