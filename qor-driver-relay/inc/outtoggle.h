#ifndef OUTTOGGLE_H
#define OUTTOGGLE_H

#include "pinout.h"

// Flips the relay once per activation; the pulse length is not used.
class OutToggle : public PinOut {
  public:
    explicit OutToggle(void (*gpio_out_set_function)(uint8_t));

    bool process() override;
};

#endif
