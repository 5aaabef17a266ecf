// One GPIO line named by the line map, on the kernel's GPIO character device.
// This interface holds no library type: gpioline-gpiod1.cpp implements it on
// libgpiod 1.x, and a libgpiod 2 implementation can take its place.
#ifndef GPIOLINE_H
#define GPIOLINE_H

#include "linesignal.h"

#include <string>

class GpioLine {
  public:
    // What the kernel tells about the line now.
    struct Info {
        bool used = false;
        bool output = false;
        std::string consumer;
    };

    GpioLine();
    ~GpioLine();
    GpioLine(const GpioLine&) = delete;
    GpioLine& operator=(const GpioLine&) = delete;

    // Finds the line that the mapping names and opens its chip. The fault
    // says what went wrong in terms of the map entry (EX_CONFIG), or why the
    // chips cannot be searched (EX_UNAVAILABLE).
    LineFault open(const LineSpec& spec);
    std::string chipName() const;
    std::string chipLabel() const;
    unsigned offset() const;
    // The kernel's name of the line; empty if it has none.
    std::string name() const;

    // Fails (EX_UNAVAILABLE) only if the chip cannot be asked.
    LineFault info(Info& out);
    // For this process, as the mapping says: an output at its inactive
    // level (relays and LED), or an input (keys), under the consumer name.
    LineFault request(const LineSpec& spec, const char* consumer);
    void release();

    // One ioctl on the requested line: no allocation, no lock, so it may be
    // called from a signal handler. 0, or the errno value of the failure.
    int set(int active) noexcept;
    int get(int& active) noexcept;

  private:
    struct Impl;
    Impl* impl_;
};

#endif
