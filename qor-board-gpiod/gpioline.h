// One line of a GpioChip, requested by this process (gpiochip.h makes the
// request; the backend files implement both). It can be moved, and it is
// released when it is destroyed.
#ifndef GPIOLINE_H
#define GPIOLINE_H

class GpioLine {
  public:
    GpioLine() = default;
    ~GpioLine();
    GpioLine(GpioLine&& other) noexcept;
    GpioLine& operator=(GpioLine&& other) noexcept;
    GpioLine(const GpioLine&) = delete;
    GpioLine& operator=(const GpioLine&) = delete;

    bool requested() const { return handle_ != nullptr; }
    void release() noexcept;

    // One ioctl on the requested line: no allocation, no lock, so it may be
    // called from a signal handler. 0, or the errno value of the failure.
    int set(int active) noexcept;
    int get(int& active) noexcept;

  private:
    friend class GpioChip;
    struct Handle;

    Handle* handle_ = nullptr;
    unsigned offset_ = 0;
};

#endif
