#include "outtoggle.h"

OutToggle::OutToggle(void (*gpio_out_set_function)(uint8_t)) : PinOut(gpio_out_set_function) {
    status = false;
    gpio_out_set_function(0);
}

bool OutToggle::process() {
    if (!isActive.load(std::memory_order_acquire)) {
        return false;
    }
    status = !status;
    gpio_out_set_function(status ? 1 : 0);
    isActive.store(false, std::memory_order_release);
    return true;
}
