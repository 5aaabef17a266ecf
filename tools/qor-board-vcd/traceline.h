// One line of the simulated board's trace: "<t_us> <operation>[ <value>]".
#ifndef TRACELINE_H
#define TRACELINE_H

#include <cstdint>
#include <string>

class TraceLine {
  public:
    // False when the text is not a trace line; `line` is then unchanged.
    static bool parse(const std::string& text, TraceLine& line);

    long long tUs = 0;
    std::string op;
    bool hasValue = false;
    uint32_t value = 0;

  private:
    static bool number(const std::string& digits, unsigned long long max,
                       unsigned long long& value);
    static bool opName(const std::string& name);
};

#endif
