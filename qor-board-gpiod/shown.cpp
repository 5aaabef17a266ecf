#include "shown.h"

namespace {

const size_t maxShown = 64;

} // namespace

std::string escaped(const std::string& s) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < s.size() && i < maxShown; ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c >= 0x7f) {
            out += std::string("\\x") + hex[c >> 4] + hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return s.size() > maxShown ? out + "..." : out;
}

std::string shown(const std::string& s) {
    return '"' + escaped(s) + '"';
}
