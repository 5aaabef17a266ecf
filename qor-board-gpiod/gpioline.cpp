#include "gpioline.h"

#include <utility>

GpioLine::~GpioLine() {
    release();
}

GpioLine::GpioLine(GpioLine&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), offset_(other.offset_) {}

GpioLine& GpioLine::operator=(GpioLine&& other) noexcept {
    if (this != &other) {
        release();
        handle_ = std::exchange(other.handle_, nullptr);
        offset_ = other.offset_;
    }
    return *this;
}
