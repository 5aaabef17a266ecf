#include "gpiochip.h"

#include <utility>

GpioChip::~GpioChip() {
    close(handle_);
}

GpioChip::GpioChip(GpioChip&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), name_(std::move(other.name_)),
      label_(std::move(other.label_)), lineCount_(std::exchange(other.lineCount_, 0)) {}

GpioChip& GpioChip::operator=(GpioChip&& other) noexcept {
    if (this != &other) {
        close(std::exchange(handle_, std::exchange(other.handle_, nullptr)));
        name_ = std::move(other.name_);
        label_ = std::move(other.label_);
        lineCount_ = std::exchange(other.lineCount_, 0);
    }
    return *this;
}
