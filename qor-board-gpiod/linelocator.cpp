#include "linelocator.h"

#include "chiplist.h"
#include "shown.h"

#include <cerrno>
#include <cstring>
#include <memory>

namespace {

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

// Checked before anything opens it, so that no other device is opened.
int openChecked(const std::string& path, GpioLine& line) {
    int err = checkChipPath(path);
    return err ? err : line.openChip(path);
}

LineFault chipFault(const LineSpec& spec, int errnum) {
    if (errnum == ENOENT) {
        return {EX_CONFIG, spec.chipBy == ChipBy::Label
                               ? "no GPIO chip labelled " + shown(spec.chip)
                               : "no GPIO chip " + shown(spec.chip)};
    }
    if (errnum == ENOTTY) {
        return {EX_CONFIG, shown(spec.chip) + " is not a GPIO chip (not a character device)"};
    }
    if (mapsWrongChip(errnum)) {
        return {EX_CONFIG, shown(spec.chip) + " is not a GPIO chip (a device the kernel does not "
                                              "list as one)"};
    }
    return {EX_UNAVAILABLE, "cannot open GPIO chip " + shown(spec.chip) + ": " + describe(errnum)};
}

// The first chip whose label is the map's; ENOENT if none. A chip that
// cannot be opened is passed over, but its error is kept for the case that
// no chip matches.
int openByLabel(const std::string& label, GpioLine& line) {
    int failure = ENOENT;
    for (const std::string& path : gpioChipPaths()) {
        auto probe = std::make_unique<GpioLine>();
        int err = openChecked(path, *probe);
        if (err) {
            failure = err == ENODEV || err == ENOTTY ? failure : err;
            continue;
        }
        if (probe->chipLabel() == label) {
            return line.openChip(path);
        }
    }
    return failure;
}

LineFault openByName(const LineSpec& spec, GpioLine& line) {
    int failure = ENOENT;
    for (const std::string& path : gpioChipPaths()) {
        auto probe = std::make_unique<GpioLine>();
        int err = openChecked(path, *probe);
        err = err == ENODEV || err == ENOTTY ? 0 : err;
        for (unsigned i = 0; !err && i < probe->lineCount(); ++i) {
            GpioLine::Info info;
            err = probe->info(i, info);
            if (!err && info.name == spec.lineName) {
                err = line.openChip(path);
                if (!err) {
                    line.select(i);
                    return {};
                }
            }
        }
        if (err) {
            failure = err;
        }
    }
    if (failure == ENOENT) {
        return {EX_CONFIG, "no GPIO line named " + shown(spec.lineName)};
    }
    return {EX_UNAVAILABLE, "cannot search the GPIO chips for the line " + shown(spec.lineName) +
                                ": " + describe(failure)};
}

} // namespace

LineFault locateLine(const LineSpec& spec, GpioLine& line) {
    if (spec.chip.empty()) {
        return openByName(spec, line);
    }
    int err = 0;
    switch (spec.chipBy) {
    case ChipBy::Path:
        err = openChecked(spec.chip, line);
        break;
    case ChipBy::Name:
        err = openChecked("/dev/" + spec.chip, line);
        break;
    case ChipBy::Label:
        err = openByLabel(spec.chip, line);
        if (err && err != ENOENT) {
            return {EX_UNAVAILABLE, "cannot search the GPIO chips for the label " +
                                        shown(spec.chip) + ": " + describe(err)};
        }
        break;
    }
    if (err) {
        return chipFault(spec, err);
    }
    unsigned count = line.lineCount();
    if (spec.offset >= count) {
        return {EX_CONFIG, line.chipName() + " has no line " + std::to_string(spec.offset) +
                               " (its lines are 0 to " + std::to_string(count - 1) + ")"};
    }
    line.select(spec.offset);
    return {};
}
