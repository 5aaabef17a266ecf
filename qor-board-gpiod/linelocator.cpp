#include "linelocator.h"

#include "chiplist.h"
#include "shown.h"

#include <cerrno>
#include <cstring>

namespace {

const char* const accessHint = " (add the user to the group gpio; see qor-board-gpiod(7))";

// An errno value as a message ends with it, with what to do about a lack of
// permission.
std::string describe(int errnum) {
    return errorText(errnum) + (deniedAccess(errnum) ? accessHint : "");
}

// Errors that say the map names something that is not a GPIO chip; any
// other (no permission, say) is the machine's.
bool mapsWrongChip(int errnum) {
    return errnum == ENOENT || errnum == ENOTTY || errnum == ENODEV || errnum == EISDIR ||
           errnum == ENOTDIR;
}

// Devices that a search passes over: listed as gpiochipN but no GPIO chip.
bool notAChip(int errnum) {
    return errnum == ENODEV || errnum == ENOTTY;
}

int machineStatus(int errnum) {
    return deniedAccess(errnum) ? EX_NOPERM : EX_UNAVAILABLE;
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
    return {machineStatus(errnum),
            "cannot open GPIO chip " + shown(spec.chip) + ": " + describe(errnum)};
}

// A search over all chips: ENOENT while nothing matched, else the error of
// the last chip that could not be opened or read, and that chip.
struct Search {
    int err = ENOENT;
    std::string chip;

    void failed(const std::string& path, int errnum) {
        err = errnum;
        chip = path.substr(path.rfind('/') + 1);
    }

    LineFault fault(const std::string& what) const {
        return {machineStatus(err),
                "cannot search the GPIO chips for " + what + ": " + chip + ": " + describe(err)};
    }
};

// The first chip whose label is the map's. A chip that cannot be opened is
// passed over, but its error is kept for the case that no chip matches.
Search openByLabel(const std::string& label, GpioChip& chip) {
    Search search;
    for (const std::string& path : gpioChipPaths()) {
        GpioChip probe;
        int err = openCheckedChip(path, probe);
        if (err && !notAChip(err)) {
            search.failed(path, err);
        } else if (!err && probe.label() == label) {
            chip = std::move(probe);
            return {0, ""};
        }
    }
    return search;
}

// The offset of the line named name on chip, or ENOENT.
int findName(const GpioChip& chip, const std::string& name, unsigned& offset) {
    for (unsigned i = 0; i < chip.lineCount(); ++i) {
        GpioChip::LineInfo info;
        if (int err = chip.info(i, info)) {
            return err;
        }
        if (info.name == name) {
            offset = i;
            return 0;
        }
    }
    return ENOENT;
}

LineFault openByName(const LineSpec& spec, GpioChip& chip, unsigned& offset) {
    Search search;
    for (const std::string& path : gpioChipPaths()) {
        GpioChip probe;
        int err = openCheckedChip(path, probe);
        if (!err) {
            err = findName(probe, spec.lineName, offset);
            if (!err) {
                chip = std::move(probe);
                return {};
            }
        }
        if (err != ENOENT && !notAChip(err)) {
            search.failed(path, err);
        }
    }
    if (search.err == ENOENT) {
        return {EX_CONFIG, "no GPIO line named " + shown(spec.lineName)};
    }
    return search.fault("the line " + shown(spec.lineName));
}

} // namespace

bool deniedAccess(int errnum) {
    return errnum == EACCES || errnum == EPERM;
}

LineFault locateLine(const LineSpec& spec, GpioChip& chip, unsigned& offset) {
    if (spec.chip.empty()) {
        return openByName(spec, chip, offset);
    }
    int err = 0;
    switch (spec.chipBy) {
    case ChipBy::Path:
        err = openCheckedChip(spec.chip, chip);
        break;
    case ChipBy::Name:
        err = openCheckedChip("/dev/" + spec.chip, chip);
        break;
    case ChipBy::Label: {
        Search search = openByLabel(spec.chip, chip);
        if (search.err && search.err != ENOENT) {
            return search.fault("the label " + shown(spec.chip));
        }
        err = search.err;
        break;
    }
    }
    if (err) {
        return chipFault(spec, err);
    }
    unsigned count = chip.lineCount();
    if (spec.offset >= count) {
        return {EX_CONFIG,
                chip.name() + " has no line " + std::to_string(spec.offset) +
                    (count == 0 ? " (it has no lines)"
                                : " (its lines are 0 to " + std::to_string(count - 1) + ")")};
    }
    offset = spec.offset;
    return {};
}
