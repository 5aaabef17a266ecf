#include "outturn.h"

OutTurn::OutTurn(void (*gpio_out_set_function)(uint8_t)) : PinOut(gpio_out_set_function) {}

bool OutTurn::process() {
    bool idle = !isActive.load(std::memory_order_acquire);
    // Taken on every idle tick, and by an activation that came before the
    // first one.
    if (idle || !delayTaken) {
        cycleNumbDelay = static_cast<uint16_t>(setCycleNumbDelay);
        delayTaken = true;
    }
    if (idle) {
        return false;
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
    drive(status);
    return result;
}

void OutTurn::rest() {
    isActive.store(false, std::memory_order_release);
    status = normalValue;
    drive(status);
}
