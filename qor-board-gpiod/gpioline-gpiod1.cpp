// GpioChip and GpioLine on libgpiod 1.x (Debian 12 has 1.6; the bias flags
// need 1.5). libgpiod calls only: the look-ups by label and by line name,
// the checks on chip paths and every message are in the shared code.
//
// Signal safety of set(): in libgpiod 1.6, gpiod_line_set_value() puts the
// line into a line bulk on the stack and calls gpiod_line_set_value_bulk(),
// which checks that the line is requested, fills a gpiohandle_data on the
// stack, makes one GPIOHANDLE_SET_LINE_VALUES_IOCTL on the request's
// descriptor and stores the value in the line's own struct: no allocation,
// no lock, nothing but ioctl(2). get() is the same with the GET ioctl.
#include "gpiochip.h"
#include "gpioline.h"

#include <cerrno>
#include <gpiod.h>

// The kernel's GPIO interface v1, which libgpiod 1 speaks, has no debounce.
const bool GpioChip::debounce = false;

struct GpioChip::Handle {
    gpiod_chip* chip;
};

// A line of the chip's own: libgpiod 1 frees it with the chip.
struct GpioLine::Handle {
    gpiod_line* line;
};

namespace {

int requestFlags(const LineSpec& spec) {
    int flags = spec.activeLow ? GPIOD_LINE_REQUEST_FLAG_ACTIVE_LOW : 0;
    if (spec.drive == Drive::OpenDrain) {
        flags |= GPIOD_LINE_REQUEST_FLAG_OPEN_DRAIN;
    } else if (spec.drive == Drive::OpenSource) {
        flags |= GPIOD_LINE_REQUEST_FLAG_OPEN_SOURCE;
    }
    switch (spec.bias) {
    case Bias::PullUp:
        return flags | GPIOD_LINE_REQUEST_FLAG_BIAS_PULL_UP;
    case Bias::PullDown:
        return flags | GPIOD_LINE_REQUEST_FLAG_BIAS_PULL_DOWN;
    case Bias::Disable:
        return flags | GPIOD_LINE_REQUEST_FLAG_BIAS_DISABLE;
    case Bias::AsIs:
        break;
    }
    return flags;
}

} // namespace

void GpioChip::close(Handle* handle) noexcept {
    if (handle) {
        gpiod_chip_close(handle->chip);
        delete handle;
    }
}

int GpioChip::open(const std::string& path) {
    gpiod_chip* chip = gpiod_chip_open(path.c_str());
    if (!chip) {
        return errno;
    }
    close(handle_);
    handle_ = new Handle{chip};
    name_ = gpiod_chip_name(chip);
    label_ = gpiod_chip_label(chip);
    lineCount_ = gpiod_chip_num_lines(chip);
    return 0;
}

int GpioChip::info(unsigned offset, LineInfo& out) const {
    gpiod_line* line = gpiod_chip_get_line(handle_->chip, offset);
    if (!line || gpiod_line_update(line) < 0) {
        return errno;
    }
    const char* name = gpiod_line_name(line);
    const char* consumer = gpiod_line_consumer(line);
    out.name = name ? name : "";
    out.used = gpiod_line_is_used(line);
    out.output = gpiod_line_direction(line) == GPIOD_LINE_DIRECTION_OUTPUT;
    out.consumer = consumer ? consumer : "";
    return 0;
}

int GpioChip::request(unsigned offset, const LineSpec& spec, const char* consumer, GpioLine& out) {
    gpiod_line* line = gpiod_chip_get_line(handle_->chip, offset);
    if (!line) {
        return errno;
    }
    gpiod_line_request_config config{};
    config.consumer = consumer;
    config.request_type = isOutput(spec.signal) ? GPIOD_LINE_REQUEST_DIRECTION_OUTPUT
                                                : GPIOD_LINE_REQUEST_DIRECTION_INPUT;
    config.flags = requestFlags(spec);
    // Outputs start inactive: relay and LED off.
    if (gpiod_line_request(line, &config, 0) < 0) {
        return errno;
    }
    out.release();
    out.handle_ = new GpioLine::Handle{line};
    out.offset_ = offset;
    return 0;
}

void GpioLine::release() noexcept {
    if (handle_) {
        gpiod_line_release(handle_->line);
        delete handle_;
        handle_ = nullptr;
    }
}

int GpioLine::set(int active) noexcept {
    return gpiod_line_set_value(handle_->line, active) < 0 ? errno : 0;
}

int GpioLine::get(int& active) noexcept {
    int value = gpiod_line_get_value(handle_->line);
    if (value < 0) {
        return errno;
    }
    active = value;
    return 0;
}
