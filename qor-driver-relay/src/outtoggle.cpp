#include "outtoggle.h"

OutToggle::OutToggle(void (*gpio_out_set_function)(uint8_t)) : PinOut(gpio_out_set_function) {
    status = false;
    drive(false);
}

bool OutToggle::process() {
    if (!isActive.load(std::memory_order_acquire)) {
        return false;
    }
    status = !status;
    drive(status);
    isActive.store(false, std::memory_order_release);
    return true;
}
