#include "pinout.h"

#include "failsafe.h"

PinOut::PinOut(void (*gpio_out_set_function)(uint8_t))
    : counterCycle(0), isActive(false), gpio_out_set_function(gpio_out_set_function) {}

void PinOut::set_delay(uint16_t numbCycle) {
    setCycleNumbDelay = numbCycle;
}

void PinOut::activate() {
    // A running activation is neither restarted nor lengthened.
    if (isActive.load(std::memory_order_acquire)) {
        return;
    }
    counterCycle.store(0, std::memory_order_relaxed);
    isActive.store(true, std::memory_order_release);
}

bool PinOut::process() {
    return false;
}

void PinOut::drive(bool level) {
    FailSafe::write(gpio_out_set_function, level ? 1 : 0);
}
