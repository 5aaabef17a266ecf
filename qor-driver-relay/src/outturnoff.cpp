#include "outturnoff.h"

// Rests on; drives the relay to that level at once.
OutTurnOff::OutTurnOff(void (*gpio_out_set_function)(uint8_t)) : OutTurn(gpio_out_set_function) {
    normalValue = true;
    drive(normalValue);
    status = normalValue;
}
