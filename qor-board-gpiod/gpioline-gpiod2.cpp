// GpioLine on libgpiod 2 (Debian 13 has 2.2.1). libgpiod calls only: the
// look-ups by label and by line name that libgpiod 2 lacks, the checks on
// chip paths and every message are in the shared code.
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
#include "gpioline.h"

#include <cerrno>
#include <gpiod.h>

struct GpioLine::Impl {
    gpiod_chip* chip = nullptr;
    gpiod_chip_info* info = nullptr;
    gpiod_line_request* request = nullptr;
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

GpioLine::GpioLine() : impl_(new Impl) {}

GpioLine::~GpioLine() {
    release();
    if (impl_->info) {
        gpiod_chip_info_free(impl_->info);
    }
    if (impl_->chip) {
        gpiod_chip_close(impl_->chip);
    }
    delete impl_;
}

int GpioLine::openChip(const std::string& path) {
    impl_->chip = gpiod_chip_open(path.c_str());
    if (!impl_->chip) {
        return errno;
    }
    impl_->info = gpiod_chip_get_info(impl_->chip);
    return impl_->info ? 0 : errno;
}

std::string GpioLine::chipName() const {
    return impl_->info ? gpiod_chip_info_get_name(impl_->info) : "";
}

std::string GpioLine::chipLabel() const {
    return impl_->info ? gpiod_chip_info_get_label(impl_->info) : "";
}

unsigned GpioLine::lineCount() const {
    return impl_->info ? static_cast<unsigned>(gpiod_chip_info_get_num_lines(impl_->info)) : 0;
}

int GpioLine::info(unsigned offset, Info& out) {
    gpiod_line_info* info = gpiod_chip_get_line_info(impl_->chip, offset);
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

int GpioLine::request(const LineSpec& spec, const char* consumer) {
    gpiod_line_settings* settings = gpiod_line_settings_new();
    gpiod_line_config* lines = gpiod_line_config_new();
    gpiod_request_config* config = gpiod_request_config_new();
    int err = settings && lines && config ? configure(settings, spec) : ENOMEM;
    if (!err && gpiod_line_config_add_line_settings(lines, &offset_, 1, settings) < 0) {
        err = errno;
    }
    if (!err) {
        gpiod_request_config_set_consumer(config, consumer);
        impl_->request = gpiod_chip_request_lines(impl_->chip, config, lines);
        err = impl_->request ? 0 : errno;
    }
    gpiod_request_config_free(config);
    gpiod_line_config_free(lines);
    gpiod_line_settings_free(settings);
    return err;
}

void GpioLine::release() {
    if (impl_->request) {
        gpiod_line_request_release(impl_->request);
        impl_->request = nullptr;
    }
}

int GpioLine::set(int active) noexcept {
    gpiod_line_value value = active ? GPIOD_LINE_VALUE_ACTIVE : GPIOD_LINE_VALUE_INACTIVE;
    return gpiod_line_request_set_value(impl_->request, offset_, value) < 0 ? errno : 0;
}

int GpioLine::get(int& active) noexcept {
    gpiod_line_value value = gpiod_line_request_get_value(impl_->request, offset_);
    if (value == GPIOD_LINE_VALUE_ERROR) {
        return errno;
    }
    active = value == GPIOD_LINE_VALUE_ACTIVE;
    return 0;
}
