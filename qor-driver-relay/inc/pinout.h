#ifndef PINOUT_H
#define PINOUT_H

#include <atomic>
#include <cstdint>

// One relay output. activate() is called from the console thread and
// process() from the cycle thread; the counter is written before the flag is
// published (release) and read only after the flag is seen (acquire).
class PinOut {
  public:
    explicit PinOut(void (*gpio_out_set_function)(uint8_t));

    void set_delay(uint16_t numbCycle);
    void activate();
    virtual bool process();

  protected:
    int setCycleNumbDelay = 0;
    std::atomic<int> counterCycle;
    std::atomic<bool> isActive;
    bool status = false;
    void (*gpio_out_set_function)(uint8_t);
};

#endif
