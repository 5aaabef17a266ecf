// What qor-board-lines does: reads a line map, finds the line of every
// signal and prints a table of them, without driving or switching any line.
#ifndef LINECHECK_H
#define LINECHECK_H

#include "mappedlines.h"

#include <ostream>
#include <string>
#include <vector>

class LineCheck {
  public:
    explicit LineCheck(const std::string& path) : path_(path) {}
    // The table goes to out, each fault to err; the result is the exit
    // status: 0, or EX_CONFIG if any fault is the map's, else EX_NOPERM if
    // the user may not open a chip, else EX_UNAVAILABLE.
    int run(std::ostream& out, std::ostream& err);

  private:
    using Row = std::vector<std::string>;

    void noteMapErrors(const LineMap& map, std::ostream& err);
    void note(std::ostream& err, const LineFault& fault);
    bool describe(MappedLines& lines, Signal s, Row& row, std::ostream& err);
    static Row unopened(const LineSpec& spec, const LineFault& fault);
    std::string readValue(MappedLines& lines, Signal s, GpioChip::LineInfo& info,
                          std::ostream& err);
    static void print(std::ostream& out, const std::vector<Row>& rows);

    std::string path_;
    int status_ = 0;
    MappedLines::Clock::time_point deadline_;
};

#endif
