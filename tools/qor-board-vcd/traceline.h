// One line of the simulated board's trace: "<t_us> <operation>[ <value>]",
// the time and the value in plain decimal digits, the operation a board call
// ("board_" and lower-case letters, digits and underscores). The one reader
// of the format, for qor-board-vcd and the test kit.
#ifndef TRACELINE_H
#define TRACELINE_H

#include <cstdint>
#include <string>
#include <string_view>

class TraceLine {
  public:
    // False when the text (without its line feed) is not a trace line;
    // `line` is then unchanged.
    static bool parse(std::string_view text, TraceLine& line);

    long long tUs = 0; // at most LLONG_MAX - 1
    std::string op;
    bool hasValue = false;
    uint32_t value = 0;

  private:
    static bool number(std::string_view digits, unsigned long long max, unsigned long long& value);
    static bool opName(std::string_view name);
};

#endif
