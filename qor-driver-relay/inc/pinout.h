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
    // Puts the relay at its resting level at once and ends any activation;
    // an output without a resting level (a toggle) keeps its state. Called
    // on the cycle thread, like process().
    virtual void rest() {}
    // An activation is pending or running.
    bool busy() const { return isActive.load(std::memory_order_acquire); }
    // The level the relay returns to after a pulse, or -1 when it has none
    // (a toggle).
    virtual int restingLevel() const { return -1; }

  protected:
    // Writes the relay: 1 on, 0 off.
    void drive(bool level);

    int setCycleNumbDelay = 0;
    std::atomic<int> counterCycle;
    std::atomic<bool> isActive;
    bool status = false;
    void (*gpio_out_set_function)(uint8_t);
};

#endif
