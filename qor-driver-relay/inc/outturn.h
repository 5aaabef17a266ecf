#ifndef OUTTURN_H
#define OUTTURN_H

#include "pinout.h"

// A timed pulse away from the resting level, counted in ticks.
class OutTurn : public PinOut {
  public:
    explicit OutTurn(void (*gpio_out_set_function)(uint8_t));

    bool process() override;
    void rest() override;
    int restingLevel() const override { return normalValue ? 1 : 0; }

  protected:
    bool normalValue = false;
    uint16_t cycleNumbDelay = 0;
    // The pulse length is taken on idle ticks; until the first one it is
    // taken when an activation starts, so an early activation uses the
    // configured length too.
    bool delayTaken = false;
};

#endif
