// GpioLine on libgpiod 1.x (Debian 12 has 1.6; the bias flags need 1.5).
// libgpiod calls only: the look-ups by label and by line name, the checks
// on chip paths and every message are in the shared code.
//
// Signal safety of set(): in libgpiod 1.6, gpiod_line_set_value() puts the
// line into a line bulk on the stack and calls gpiod_line_set_value_bulk(),
// which checks that the line is requested, fills a gpiohandle_data on the
// stack, makes one GPIOHANDLE_SET_LINE_VALUES_IOCTL on the request's
// descriptor and stores the value in the line's own struct: no allocation,
// no lock, nothing but ioctl(2). get() is the same with the GET ioctl.
#include "gpioline.h"

#include <cerrno>
#include <gpiod.h>

struct GpioLine::Impl {
    gpiod_chip* chip = nullptr;
    gpiod_line* requested = nullptr;
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

GpioLine::GpioLine() : impl_(new Impl) {}

GpioLine::~GpioLine() {
    if (impl_->chip) {
        gpiod_chip_close(impl_->chip);
    }
    delete impl_;
}

int GpioLine::openChip(const std::string& path) {
    impl_->chip = gpiod_chip_open(path.c_str());
    return impl_->chip ? 0 : errno;
}

std::string GpioLine::chipName() const {
    return impl_->chip ? gpiod_chip_name(impl_->chip) : "";
}

std::string GpioLine::chipLabel() const {
    return impl_->chip ? gpiod_chip_label(impl_->chip) : "";
}

unsigned GpioLine::lineCount() const {
    return impl_->chip ? gpiod_chip_num_lines(impl_->chip) : 0;
}

int GpioLine::info(unsigned offset, Info& out) {
    gpiod_line* line = gpiod_chip_get_line(impl_->chip, offset);
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

int GpioLine::request(const LineSpec& spec, const char* consumer) {
    gpiod_line* line = gpiod_chip_get_line(impl_->chip, offset_);
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
    impl_->requested = line;
    return 0;
}

void GpioLine::release() {
    if (impl_->requested) {
        gpiod_line_release(impl_->requested);
        impl_->requested = nullptr;
    }
}

int GpioLine::set(int active) noexcept {
    return gpiod_line_set_value(impl_->requested, active) < 0 ? errno : 0;
}

int GpioLine::get(int& active) noexcept {
    int value = gpiod_line_get_value(impl_->requested);
    if (value < 0) {
        return errno;
    }
    active = value;
    return 0;
}
