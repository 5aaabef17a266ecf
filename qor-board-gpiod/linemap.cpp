#include "linemap.h"

#include "lineflags.h"
#include "mapfile.h"
#include "shown.h"

#include <cstdlib>

namespace {

const char* const defaultMap = "/etc/qor-board/lines.conf";
// Line offsets are small; nine digits keep the number in range.
const size_t maxOffsetDigits = 9;
std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> out;
    const char* blanks = " \t\r\f\v";
    size_t start = line.find_first_not_of(blanks);
    while (start != std::string::npos) {
        size_t end = line.find_first_of(blanks, start);
        out.push_back(line.substr(start, end - start));
        start = end == std::string::npos ? end : line.find_first_not_of(blanks, end);
    }
    return out;
}

bool allDigits(const std::string& s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

ChipBy chipKind(const std::string& chip) {
    if (chip[0] == '/') {
        return ChipBy::Path;
    }
    if (chip.compare(0, 8, "gpiochip") == 0 && allDigits(chip.substr(8))) {
        return ChipBy::Name;
    }
    return ChipBy::Label;
}

std::string quoted(const std::string& s) {
    return shown(s);
}

} // namespace

std::string LineMap::defaultPath() {
    // Set but empty is refused by read(), not taken for unset.
    const char* env = getenv("QOR_BOARD_LINES");
    return env ? env : defaultMap;
}

LineMap LineMap::read(const std::string& path, bool debounce) {
    std::string text;
    if (path.empty()) {
        LineMap map;
        const char* env = getenv("QOR_BOARD_LINES");
        map.fail(0, "", env && !*env ? "QOR_BOARD_LINES is empty" : "an empty path is not a map");
        return map;
    }
    if (int fault = mapfile::read(path, text)) {
        LineMap map;
        map.path_ = path;
        map.fail(0, "", mapfile::faultText(fault));
        return map;
    }
    return parse(path, text, debounce);
}

LineMap LineMap::parse(const std::string& path, const std::string& text, bool debounce) {
    LineMap map;
    map.path_ = path;
    map.debounce_ = debounce;
    // A UTF-8 byte-order mark some editors write is not part of the signal.
    size_t start = text.compare(0, 3, "\xef\xbb\xbf") == 0 ? 3 : 0;
    for (int number = 1; start < text.size(); ++number) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        map.parseLine(number, text.substr(start, end - start));
        start = end + 1;
    }
    return map;
}

const LineSpec* LineMap::find(Signal s) const {
    for (const LineSpec& spec : specs_) {
        if (spec.signal == s) {
            return &spec;
        }
    }
    return nullptr;
}

std::string LineMap::describe(const Error& e) const {
    return describe(e.lineNumber, e.signal, e.reason);
}

std::string LineMap::describe(int lineNumber, const std::string& signal,
                              const std::string& reason) const {
    if (path_.empty()) {
        return reason;
    }
    std::string out = path_;
    if (lineNumber > 0) {
        out += ':' + std::to_string(lineNumber);
    }
    if (!signal.empty()) {
        out += ": " + signal;
    }
    return out + ": " + reason;
}

void LineMap::fail(int number, const std::string& signal, const std::string& reason) {
    errors_.push_back({number, escaped(signal), reason});
}

void LineMap::parseLine(int number, const std::string& line) {
    std::vector<std::string> f = fields(line.substr(0, line.find('#')));
    if (f.empty()) {
        return;
    }
    LineSpec spec;
    spec.lineNumber = number;
    if (!signalFromName(f[0], spec.signal)) {
        fail(number, f[0],
             "unknown signal (the signals are relay_0, relay_1, key_0, key_1 and led)");
        return;
    }
    if (const LineSpec* first = find(spec.signal)) {
        fail(number, f[0], "given twice (first on line " + std::to_string(first->lineNumber) + ")");
        return;
    }
    std::string reason;
    if (f.size() < 2) {
        fail(number, f[0], "no line given (CHIP:OFFSET or a line name)");
        return;
    }
    if (!parseLocation(spec, f[1], reason)) {
        fail(number, f[0], reason);
        return;
    }
    for (size_t i = 2; i < f.size(); ++i) {
        if (!parseFlag(spec, f[i], reason)) {
            fail(number, f[0], reason);
            return;
        }
    }
    specs_.push_back(spec);
}

// CHIP:OFFSET (split at the last colon, so that a label may hold one) or a
// line name, which then holds no colon.
bool LineMap::parseLocation(LineSpec& spec, const std::string& field, std::string& reason) {
    size_t colon = field.rfind(':');
    if (colon == std::string::npos) {
        spec.lineName = field;
        return true;
    }
    std::string chip = field.substr(0, colon);
    std::string offset = field.substr(colon + 1);
    if (chip.empty()) {
        reason = "no chip before " + quoted(field);
    } else if (offset.empty()) {
        reason = "no line offset after " + quoted(chip + ":");
    } else if (!allDigits(offset)) {
        reason = quoted(offset) + " is not a line offset (a number from 0)";
    } else if (offset.find_first_not_of('0') != std::string::npos &&
               offset.size() - offset.find_first_not_of('0') > maxOffsetDigits) {
        reason = "line offset " + escaped(offset) + " is out of range";
    } else {
        spec.chip = chip;
        spec.chipBy = chipKind(chip);
        spec.offset = static_cast<unsigned>(std::stoul(offset));
        return true;
    }
    return false;
}

bool LineMap::parseFlag(LineSpec& spec, const std::string& flag, std::string& reason) {
    Bias bias = Bias::AsIs;
    Drive drive = Drive::PushPull;
    const std::string debounce = lineflags::debounce;
    if (flag == lineflags::activeLow) {
        if (spec.activeLow) {
            reason = quoted(flag) + " given twice";
            return false;
        }
        spec.activeLow = true;
        return true;
    }
    if (lineflags::biasFromName(flag, bias)) {
        if (spec.bias != Bias::AsIs) {
            reason =
                std::string("two bias flags: ") + lineflags::biasName(spec.bias) + " and " + flag;
            return false;
        }
        spec.bias = bias;
        return true;
    }
    if (lineflags::driveFromName(flag, drive)) {
        return parseDrive(spec, drive, reason);
    }
    if (flag.compare(0, debounce.size(), debounce) == 0) {
        return parseDebounce(spec, flag.substr(debounce.size()), reason);
    }
    reason = "unknown flag " + quoted(flag) + " (the flags are " + lineflags::known() + ")";
    return false;
}

bool LineMap::parseDrive(LineSpec& spec, Drive drive, std::string& reason) {
    const std::string flag = lineflags::driveName(drive);
    if (!isOutput(spec.signal)) {
        reason = quoted(flag) + " is for an output (relays and led), not a key";
        return false;
    }
    if (spec.drive != Drive::PushPull) {
        reason =
            std::string("two drive flags: ") + lineflags::driveName(spec.drive) + " and " + flag;
        return false;
    }
    spec.drive = drive;
    return true;
}

bool LineMap::parseDebounce(LineSpec& spec, const std::string& value, std::string& reason) {
    const std::string flag = quoted(lineflags::debounce);
    if (isOutput(spec.signal)) {
        reason = flag + " is for a key, not an output";
    } else if (spec.debounceMs >= 0) {
        reason = flag + " given twice";
    } else if (!allDigits(value) || value.size() > maxOffsetDigits ||
               std::stoul(value) > static_cast<unsigned long>(maxDebounceMs)) {
        reason = "debounce " + quoted(value) + " is not a time in whole milliseconds from 0 to " +
                 std::to_string(maxDebounceMs);
    } else if (!debounce_) {
        reason = flag + " needs libgpiod 2; this build has libgpiod 1";
    } else {
        spec.debounceMs = static_cast<int>(std::stoul(value));
        return true;
    }
    return false;
}
