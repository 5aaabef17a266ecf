// GpioChip and GpioLine on libgpiod 2 (Debian 13 has 2.2.1). libgpiod calls
// only: the look-ups by label and by line name that libgpiod 2 lacks, the
// checks on chip paths and every message are in the shared code.
//
// Signal safety of set(): in libgpiod 2.2, gpiod_line_request_set_value()
// calls gpiod_line_request_set_values_subset() with the one offset and
// value, which finds the line's bit in the request's own offset array,
// fills a gpio_v2_line_values on the stack and makes one
// GPIO_V2_LINE_SET_VALUES_IOCTL on the request's descriptor (gpiod_ioctl(),
// a plain ioctl(2) that turns a positive return into EBADE): no allocation,
// no lock, no state written. get() is the same with
// gpiod_line_request_get_values_subset() and the GET ioctl. The request is
// made once at init and never freed while the program runs.
#include "gpiochip.h"
#include "gpioline.h"

#include <cerrno>
#include <gpiod.h>

// The kernel's GPIO interface v2 debounces an input line on request.
const bool GpioChip::debounce = true;

struct GpioChip::Handle {
    gpiod_chip* chip;
};

struct GpioLine::Handle {
    gpiod_line_request* request;
};

namespace {

gpiod_line_bias biasOf(Bias bias) {
    switch (bias) {
    case Bias::PullUp:
        return GPIOD_LINE_BIAS_PULL_UP;
    case Bias::PullDown:
        return GPIOD_LINE_BIAS_PULL_DOWN;
    case Bias::Disable:
        return GPIOD_LINE_BIAS_DISABLED;
    case Bias::AsIs:
        break;
    }
    return GPIOD_LINE_BIAS_AS_IS;
}

gpiod_line_drive driveOf(Drive drive) {
    switch (drive) {
    case Drive::OpenDrain:
        return GPIOD_LINE_DRIVE_OPEN_DRAIN;
    case Drive::OpenSource:
        return GPIOD_LINE_DRIVE_OPEN_SOURCE;
    case Drive::PushPull:
        break;
    }
    return GPIOD_LINE_DRIVE_PUSH_PULL;
}

// Outputs start inactive: relay and LED off.
int configure(gpiod_line_settings* s, const LineSpec& spec) {
    bool output = isOutput(spec.signal);
    if (gpiod_line_settings_set_direction(s, output ? GPIOD_LINE_DIRECTION_OUTPUT
                                                    : GPIOD_LINE_DIRECTION_INPUT) < 0 ||
        gpiod_line_settings_set_bias(s, biasOf(spec.bias)) < 0) {
        return errno;
    }
    gpiod_line_settings_set_active_low(s, spec.activeLow);
    if (output && (gpiod_line_settings_set_drive(s, driveOf(spec.drive)) < 0 ||
                   gpiod_line_settings_set_output_value(s, GPIOD_LINE_VALUE_INACTIVE) < 0)) {
        return errno;
    }
    if (spec.debounceMs >= 0) {
        gpiod_line_settings_set_debounce_period_us(s, static_cast<unsigned long>(spec.debounceMs) *
                                                          1000UL);
    }
    return 0;
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
    gpiod_chip_info* info = gpiod_chip_get_info(chip);
    if (!info) {
        int err = errno;
        gpiod_chip_close(chip);
        return err;
    }
    close(handle_);
    handle_ = new Handle{chip};
    name_ = gpiod_chip_info_get_name(info);
    label_ = gpiod_chip_info_get_label(info);
    lineCount_ = static_cast<unsigned>(gpiod_chip_info_get_num_lines(info));
    gpiod_chip_info_free(info);
    return 0;
}

int GpioChip::info(unsigned offset, LineInfo& out) const {
    gpiod_line_info* info = gpiod_chip_get_line_info(handle_->chip, offset);
    if (!info) {
        return errno;
    }
    const char* name = gpiod_line_info_get_name(info);
    const char* consumer = gpiod_line_info_get_consumer(info);
    out.name = name ? name : "";
    out.used = gpiod_line_info_is_used(info);
    out.output = gpiod_line_info_get_direction(info) == GPIOD_LINE_DIRECTION_OUTPUT;
    out.consumer = consumer ? consumer : "";
    gpiod_line_info_free(info);
    return 0;
}

int GpioChip::request(unsigned offset, const LineSpec& spec, const char* consumer, GpioLine& out) {
    gpiod_line_settings* settings = gpiod_line_settings_new();
    gpiod_line_config* lines = gpiod_line_config_new();
    gpiod_request_config* config = gpiod_request_config_new();
    int err = settings && lines && config ? configure(settings, spec) : ENOMEM;
    if (!err && gpiod_line_config_add_line_settings(lines, &offset, 1, settings) < 0) {
        err = errno;
    }
    gpiod_line_request* request = nullptr;
    if (!err) {
        gpiod_request_config_set_consumer(config, consumer);
        request = gpiod_chip_request_lines(handle_->chip, config, lines);
        err = request ? 0 : errno;
    }
    gpiod_request_config_free(config);
    gpiod_line_config_free(lines);
    gpiod_line_settings_free(settings);
    if (request) {
        out.release();
        out.handle_ = new GpioLine::Handle{request};
        out.offset_ = offset;
    }
    return err;
}

void GpioLine::release() noexcept {
    if (handle_) {
        gpiod_line_request_release(handle_->request);
        delete handle_;
        handle_ = nullptr;
    }
}

int GpioLine::set(int active) noexcept {
    gpiod_line_value value = active ? GPIOD_LINE_VALUE_ACTIVE : GPIOD_LINE_VALUE_INACTIVE;
    return gpiod_line_request_set_value(handle_->request, offset_, value) < 0 ? errno : 0;
}

int GpioLine::get(int& active) noexcept {
    gpiod_line_value value = gpiod_line_request_get_value(handle_->request, offset_);
    if (value == GPIOD_LINE_VALUE_ERROR) {
        return errno;
    }
    active = value == GPIOD_LINE_VALUE_ACTIVE;
    return 0;
}
