// One open GPIO chip on the kernel's GPIO character device. With gpioline.h
// the only seam between the board library and libgpiod: each backend
// (gpioline-gpiod1.cpp on libgpiod 1.x, gpioline-gpiod2.cpp on libgpiod 2)
// holds libgpiod calls and nothing else; every call returns 0 or an errno
// value, and the shared code turns those into messages and exit statuses.
// A chip can be moved, so that the chip a search has opened and checked is
// the one that is kept, never opened again by its path.
#ifndef GPIOCHIP_H
#define GPIOCHIP_H

#include "linesignal.h"

#include <string>

class GpioLine;

class GpioChip {
  public:
    // What the kernel tells about a line of the chip now.
    struct LineInfo {
        std::string name; // empty if the line has none
        bool used = false;
        bool output = false;
        std::string consumer;
    };

    // Whether the backend can have the kernel debounce a line: libgpiod 2
    // can, on the kernel's GPIO interface v2; libgpiod 1 cannot.
    static const bool debounce;

    GpioChip() = default;
    ~GpioChip();
    GpioChip(GpioChip&& other) noexcept;
    GpioChip& operator=(GpioChip&& other) noexcept;
    GpioChip(const GpioChip&) = delete;
    GpioChip& operator=(const GpioChip&) = delete;

    // Opens the chip at a path that the caller has checked to be a GPIO chip.
    int open(const std::string& path);
    bool isOpen() const { return handle_ != nullptr; }
    const std::string& name() const { return name_; }
    const std::string& label() const { return label_; }
    unsigned lineCount() const { return lineCount_; }
    // Any line of the open chip.
    int info(unsigned offset, LineInfo& out) const;
    // Requests one line for this process, as the mapping says: an output at
    // its inactive level (relays and LED), or an input (keys), under the
    // consumer name. The chip must outlive the request (libgpiod 1 keeps the
    // line inside the chip).
    int request(unsigned offset, const LineSpec& spec, const char* consumer, GpioLine& line);

  private:
    struct Handle;
    static void close(Handle* handle) noexcept;

    Handle* handle_ = nullptr;
    std::string name_;
    std::string label_;
    unsigned lineCount_ = 0;
};

#endif
