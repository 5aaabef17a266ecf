// The line map: which GPIO line carries each board signal. One signal a line,
// "#" starts a comment, blank lines are allowed:
//   SIGNAL  CHIP:OFFSET|LINE-NAME  [active-low] [pull-up|pull-down|bias-disable]
//           [open-drain|open-source] (outputs) [debounce=MS] (keys)
// Reading it touches no GPIO chip, so every fault found here is the map's.
#ifndef LINEMAP_H
#define LINEMAP_H

#include "gpiochip.h"
#include "linesignal.h"

#include <string>
#include <vector>

class LineMap {
  public:
    struct Error {
        int lineNumber; // 0: the file as a whole
        std::string signal;
        std::string reason;
    };

    // $QOR_BOARD_LINES, else /etc/qor-board/lines.conf.
    static std::string defaultPath();
    // debounce: whether the backend can honour "debounce="; otherwise the
    // flag is a fault of the map.
    static LineMap read(const std::string& path, bool debounce = GpioChip::debounce);
    // The map in text, as if read from path.
    static LineMap parse(const std::string& path, const std::string& text,
                         bool debounce = GpioChip::debounce);

    const std::string& path() const { return path_; }
    const std::vector<Error>& errors() const { return errors_; }
    const LineSpec* find(Signal s) const;
    // "<path>:<line>: <signal>: <reason>", leaving out what is not known.
    std::string describe(const Error& e) const;
    std::string describe(int lineNumber, const std::string& signal,
                         const std::string& reason) const;

  private:
    void parseLine(int number, const std::string& line);
    bool parseLocation(LineSpec& spec, const std::string& field, std::string& reason);
    bool parseFlag(LineSpec& spec, const std::string& flag, std::string& reason);
    bool parseDrive(LineSpec& spec, Drive drive, std::string& reason);
    bool parseDebounce(LineSpec& spec, const std::string& value, std::string& reason);
    void fail(int number, const std::string& signal, const std::string& reason);

    std::string path_;
    bool debounce_ = true;
    std::vector<Error> errors_;
    std::vector<LineSpec> specs_;
};

#endif
