#include "outturn.h"

OutTurn::OutTurn(void (*gpio_out_set_function)(uint8_t)) : PinOut(gpio_out_set_function) {}

bool OutTurn::process() {
    if (!isActive.load(std::memory_order_acquire)) {
        cycleNumbDelay = static_cast<uint16_t>(setCycleNumbDelay);
        delayTaken = true;
        return false;
    }
    if (!delayTaken) {
        cycleNumbDelay = static_cast<uint16_t>(setCycleNumbDelay);
        delayTaken = true;
    }
    int tick = counterCycle.fetch_add(1, std::memory_order_relaxed);
    bool result;
    if (tick < cycleNumbDelay) {
        status = !normalValue;
        result = true;
    } else {
        status = normalValue;
        isActive.store(false, std::memory_order_release);
        result = false;
    }
    gpio_out_set_function(status ? 1 : 0);
    return result;
}

void OutTurn::rest() {
    isActive.store(false, std::memory_order_release);
    status = normalValue;
    gpio_out_set_function(status ? 1 : 0);
}
