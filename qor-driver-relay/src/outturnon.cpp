#include "outturnon.h"

// Rests off; drives the relay to that level at once.
OutTurnOn::OutTurnOn(void (*gpio_out_set_function)(uint8_t)) : OutTurn(gpio_out_set_function) {
    normalValue = false;
    drive(normalValue);
    status = normalValue;
}
