#ifndef OUTTURNON_H
#define OUTTURNON_H

#include "outturn.h"

class OutTurnOn : public OutTurn {
  public:
    explicit OutTurnOn(void (*gpio_out_set_function)(uint8_t));
};

#endif
