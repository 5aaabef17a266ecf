#include "traceline.h"

#include <climits>

bool TraceLine::parse(std::string_view text, TraceLine& line) {
    size_t first = text.find(' ');
    if (first == std::string_view::npos) {
        return false;
    }
    size_t second = text.find(' ', first + 1);
    std::string_view op =
        text.substr(first + 1, second == std::string_view::npos ? second : second - first - 1);
    unsigned long long t = 0, value = 0;
    bool hasValue = second != std::string_view::npos;
    // A time of LLONG_MAX would leave no room for the dump's end just after it.
    if (!number(text.substr(0, first), LLONG_MAX - 1, t) || !opName(op) ||
        (hasValue && !number(text.substr(second + 1), UINT32_MAX, value))) {
        return false;
    }
    line.tUs = static_cast<long long>(t);
    line.op = op;
    line.hasValue = hasValue;
    line.value = static_cast<uint32_t>(value);
    return true;
}

// Plain decimal digits, nothing else, at most `max`.
bool TraceLine::number(std::string_view digits, unsigned long long max, unsigned long long& value) {
    if (digits.empty()) {
        return false;
    }
    unsigned long long v = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return false;
        }
        unsigned d = static_cast<unsigned>(c - '0');
        if (v > (max - d) / 10) {
            return false;
        }
        v = v * 10 + d;
    }
    value = v;
    return true;
}

// "board_" and lower-case letters, digits and underscores, as the library names its calls.
bool TraceLine::opName(std::string_view name) {
    static const std::string_view prefix = "board_";
    if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) {
        return false;
    }
    for (char c : name) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) {
            return false;
        }
    }
    return true;
}
