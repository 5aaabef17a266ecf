// One GPIO chip opened for one signal's line, on the kernel's GPIO character
// device: the only seam between the board library and libgpiod. Each backend
// (gpioline-gpiod1.cpp on libgpiod 1.x, gpioline-gpiod2.cpp on libgpiod 2)
// holds libgpiod calls and nothing else: every call returns 0 or an errno
// value, and the shared code turns those into messages and exit statuses.
#ifndef GPIOLINE_H
#define GPIOLINE_H

#include "linesignal.h"

#include <string>

class GpioLine {
  public:
    // What the kernel tells about a line of the chip now.
    struct Info {
        std::string name; // empty if the line has none
        bool used = false;
        bool output = false;
        std::string consumer;
    };

    GpioLine();
    ~GpioLine();
    GpioLine(const GpioLine&) = delete;
    GpioLine& operator=(const GpioLine&) = delete;

    // Opens the chip at a path that the caller has checked to be a GPIO chip.
    int openChip(const std::string& path);
    std::string chipName() const;
    std::string chipLabel() const;
    unsigned lineCount() const;
    // Any line of the open chip.
    int info(unsigned offset, Info& out);

    // The line of the chip that set(), get() and request() act on.
    void select(unsigned offset) { offset_ = offset; }
    unsigned offset() const { return offset_; }
    // For this process, as the mapping says: an output at its inactive
    // level (relays and LED), or an input (keys), under the consumer name.
    int request(const LineSpec& spec, const char* consumer);
    void release();

    // One ioctl on the requested line: no allocation, no lock, so it may be
    // called from a signal handler. 0, or the errno value of the failure.
    int set(int active) noexcept;
    int get(int& active) noexcept;

  private:
    struct Impl;
    Impl* impl_;
    unsigned offset_ = 0;
};

#endif
