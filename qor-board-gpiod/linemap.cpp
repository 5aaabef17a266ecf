#include "linemap.h"

#include "shown.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const defaultMap = "/etc/qor-board/lines.conf";
// A map is a few lines; anything this big is the wrong file, and reading
// /dev/zero must end.
const size_t maxMapBytes = 64 * 1024;
// Line offsets are small; nine digits keep the number in range.
const size_t maxOffsetDigits = 9;
// slurp()'s errno value for a map that is not a regular file.
const int EFTYPE = EINVAL;

const char* const biasNames[] = {"", "pull-up", "pull-down", "bias-disable"};

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

// The whole file, or false with errno set.
bool slurp(const std::string& path, std::string& text) {
    // Non-blocking, so that a FIFO or a terminal cannot hold the open; only
    // a regular file is read.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        int saved = S_ISDIR(st.st_mode) ? EISDIR : EFTYPE;
        close(fd);
        errno = saved;
        return false;
    }
    char buf[4096];
    ssize_t got;
    while ((got = read(fd, buf, sizeof buf)) != 0) {
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 || text.size() + got > maxMapBytes) {
            int saved = got < 0 ? errno : EFBIG;
            close(fd);
            errno = saved;
            return false;
        }
        text.append(buf, got);
    }
    close(fd);
    return true;
}

} // namespace

std::string LineMap::defaultPath() {
    const char* env = getenv("QOR_BOARD_LINES");
    return env && *env ? env : defaultMap;
}

LineMap LineMap::read(const std::string& path, bool debounce) {
    std::string text;
    if (!slurp(path, text)) {
        LineMap map;
        map.path_ = path;
        map.fail(0, "",
                 errno == EFBIG    ? "larger than 64 KiB, not a line map"
                 : errno == EFTYPE ? "not a regular file, not a line map"
                                   : strerrordesc_np(errno));
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
    if (flag == "active-low") {
        if (spec.activeLow) {
            reason = "\"active-low\" given twice";
            return false;
        }
        spec.activeLow = true;
        return true;
    }
    for (int b = 1; b < 4; ++b) {
        if (flag != biasNames[b]) {
            continue;
        }
        if (spec.bias != Bias::AsIs) {
            reason = std::string("two bias flags: ") + biasNames[static_cast<int>(spec.bias)] +
                     " and " + flag;
            return false;
        }
        spec.bias = static_cast<Bias>(b);
        return true;
    }
    if (flag == "open-drain" || flag == "open-source") {
        return parseDrive(spec, flag, reason);
    }
    if (flag.compare(0, 9, "debounce=") == 0) {
        return parseDebounce(spec, flag.substr(9), reason);
    }
    reason = "unknown flag " + quoted(flag) +
             " (the flags are active-low, pull-up, pull-down, bias-disable, open-drain, "
             "open-source and debounce=MS)";
    return false;
}

bool LineMap::parseDrive(LineSpec& spec, const std::string& flag, std::string& reason) {
    if (!isOutput(spec.signal)) {
        reason = quoted(flag) + " is for an output (relays and led), not a key";
        return false;
    }
    if (spec.drive != Drive::PushPull) {
        reason = "two drive flags: " +
                 std::string(spec.drive == Drive::OpenDrain ? "open-drain" : "open-source") +
                 " and " + flag;
        return false;
    }
    spec.drive = flag == "open-drain" ? Drive::OpenDrain : Drive::OpenSource;
    return true;
}

bool LineMap::parseDebounce(LineSpec& spec, const std::string& value, std::string& reason) {
    if (isOutput(spec.signal)) {
        reason = "\"debounce=\" is for a key, not an output";
    } else if (spec.debounceMs >= 0) {
        reason = "\"debounce=\" given twice";
    } else if (!allDigits(value) || value.size() > maxOffsetDigits ||
               std::stoul(value) > static_cast<unsigned long>(maxDebounceMs)) {
        reason = "debounce " + quoted(value) + " is not a time in whole milliseconds from 0 to " +
                 std::to_string(maxDebounceMs);
    } else if (!debounce_) {
        reason = "\"debounce=\" needs libgpiod 2; this build has libgpiod 1";
    } else {
        spec.debounceMs = static_cast<int>(std::stoul(value));
        return true;
    }
    return false;
}
