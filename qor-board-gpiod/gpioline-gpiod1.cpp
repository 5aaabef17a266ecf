// GpioLine on libgpiod 1.x (Debian 12 has 1.6; the bias flags need 1.5).
// The only file that uses the library.
//
// Signal safety of set(): in libgpiod 1.6, gpiod_line_set_value() puts the
// line into a line bulk on the stack and calls gpiod_line_set_value_bulk(),
// which checks that the line is requested, fills a gpiohandle_data on the
// stack, makes one GPIOHANDLE_SET_LINE_VALUES_IOCTL on the request's
// descriptor and stores the value in the line's own struct: no allocation,
// no lock, nothing but ioctl(2). get() is the same with the GET ioctl.
#include "gpioline.h"

#include <cerrno>
#include <cstring>
#include <gpiod.h>

struct GpioLine::Impl {
    gpiod_chip* chip = nullptr;
    gpiod_line* line = nullptr;
};

namespace {

std::string quoted(const std::string& s) {
    return '"' + s + '"';
}

std::string describe(int errnum) {
    const char* text = strerrordesc_np(errnum);
    return text ? text : "error " + std::to_string(errnum);
}

// Errors that say the map names something that is not a GPIO chip; any
// other (no permission, say) is the machine's.
bool mapsWrongChip(int errnum) {
    return errnum == ENOENT || errnum == ENOTTY || errnum == ENODEV || errnum == EISDIR ||
           errnum == ENOTDIR;
}

gpiod_chip* openChip(const LineSpec& spec) {
    switch (spec.chipBy) {
    case ChipBy::Path:
        return gpiod_chip_open(spec.chip.c_str());
    case ChipBy::Name:
        return gpiod_chip_open_by_name(spec.chip.c_str());
    case ChipBy::Label:
        break;
    }
    return gpiod_chip_open_by_label(spec.chip.c_str());
}

LineFault chipFault(const LineSpec& spec, int errnum) {
    if (errnum == ENOENT) {
        return {EX_CONFIG, spec.chipBy == ChipBy::Label
                               ? "no GPIO chip labelled " + quoted(spec.chip)
                               : "no GPIO chip " + quoted(spec.chip)};
    }
    if (mapsWrongChip(errnum)) {
        return {EX_CONFIG, quoted(spec.chip) + " is not a GPIO chip: " + describe(errnum)};
    }
    if (spec.chipBy == ChipBy::Label) {
        return {EX_UNAVAILABLE, "cannot search the GPIO chips for the label " + quoted(spec.chip) +
                                    ": " + describe(errnum)};
    }
    return {EX_UNAVAILABLE, "cannot open GPIO chip " + quoted(spec.chip) + ": " + describe(errnum)};
}

int requestFlags(const LineSpec& spec) {
    int flags = spec.activeLow ? GPIOD_LINE_REQUEST_FLAG_ACTIVE_LOW : 0;
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

LineFault GpioLine::open(const LineSpec& spec) {
    if (spec.chip.empty()) {
        gpiod_line* line = gpiod_line_find(spec.lineName.c_str());
        if (!line && errno == ENOENT) {
            return {EX_CONFIG, "no GPIO line named " + quoted(spec.lineName)};
        }
        if (!line) {
            return {EX_UNAVAILABLE, "cannot search the GPIO chips for the line " +
                                        quoted(spec.lineName) + ": " + describe(errno)};
        }
        impl_->chip = gpiod_line_get_chip(line);
        impl_->line = line;
        return {};
    }
    impl_->chip = openChip(spec);
    if (!impl_->chip) {
        return chipFault(spec, errno);
    }
    unsigned count = gpiod_chip_num_lines(impl_->chip);
    if (spec.offset >= count) {
        return {EX_CONFIG, chipName() + " has no line " + std::to_string(spec.offset) +
                               " (its lines are 0 to " + std::to_string(count - 1) + ")"};
    }
    impl_->line = gpiod_chip_get_line(impl_->chip, spec.offset);
    if (!impl_->line) {
        return {EX_UNAVAILABLE, "cannot read line " + std::to_string(spec.offset) + " of " +
                                    chipName() + ": " + describe(errno)};
    }
    return {};
}

std::string GpioLine::chipName() const {
    return impl_->chip ? gpiod_chip_name(impl_->chip) : "";
}

std::string GpioLine::chipLabel() const {
    return impl_->chip ? gpiod_chip_label(impl_->chip) : "";
}

unsigned GpioLine::offset() const {
    return impl_->line ? gpiod_line_offset(impl_->line) : 0;
}

std::string GpioLine::name() const {
    const char* name = impl_->line ? gpiod_line_name(impl_->line) : nullptr;
    return name ? name : "";
}

LineFault GpioLine::info(Info& out) {
    if (gpiod_line_update(impl_->line) < 0) {
        return {EX_UNAVAILABLE, "cannot read the line's state: " + describe(errno)};
    }
    const char* consumer = gpiod_line_consumer(impl_->line);
    out.used = gpiod_line_is_used(impl_->line);
    out.output = gpiod_line_direction(impl_->line) == GPIOD_LINE_DIRECTION_OUTPUT;
    out.consumer = consumer ? consumer : "";
    return {};
}

LineFault GpioLine::request(const LineSpec& spec, const char* consumer) {
    gpiod_line_request_config config{};
    config.consumer = consumer;
    config.request_type = isOutput(spec.signal) ? GPIOD_LINE_REQUEST_DIRECTION_OUTPUT
                                                : GPIOD_LINE_REQUEST_DIRECTION_INPUT;
    config.flags = requestFlags(spec);
    // Outputs start inactive: relay and LED off.
    if (gpiod_line_request(impl_->line, &config, 0) < 0) {
        int err = errno;
        LineFault fault{EX_UNAVAILABLE, describe(err)};
        errno = err; // for the caller to tell a busy line
        return fault;
    }
    return {};
}

void GpioLine::release() {
    gpiod_line_release(impl_->line);
}

int GpioLine::set(int active) noexcept {
    return gpiod_line_set_value(impl_->line, active) < 0 ? errno : 0;
}

int GpioLine::get(int& active) noexcept {
    int value = gpiod_line_get_value(impl_->line);
    if (value < 0) {
        return errno;
    }
    active = value;
    return 0;
}
