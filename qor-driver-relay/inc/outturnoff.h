#ifndef OUTTURNOFF_H
#define OUTTURNOFF_H

#include "outturn.h"

class OutTurnOff : public OutTurn {
  public:
    explicit OutTurnOff(void (*gpio_out_set_function)(uint8_t));
};

#endif
