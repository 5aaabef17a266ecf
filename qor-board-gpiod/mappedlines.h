// The lines of a line map, opened signal by signal. Shared by the board
// functions and the check command, so both find the same line for a signal
// and give the same faults.
#ifndef MAPPEDLINES_H
#define MAPPEDLINES_H

#include "gpiochip.h"
#include "gpioline.h"
#include "linemap.h"

#include <chrono>
#include <memory>
#include <vector>

class MappedLines {
  public:
    using Clock = std::chrono::steady_clock;
    // How long a program waits at most for the lines that qor-board-lines
    // holds for a moment (microseconds, unless it is descheduled).
    static constexpr std::chrono::milliseconds checkerWait{1000};

    explicit MappedLines(LineMap map) : map_(std::move(map)) {}

    const LineMap& map() const { return map_; }
    // "<map>: led: not in the map" for each of the signals the map lacks.
    std::vector<LineFault> missing(const std::vector<Signal>& signals) const;
    // Opens the line of a signal that is in the map, unless it is open. It
    // must not be the line of a signal opened before.
    LineFault open(Signal s);
    // Opens the lines of all the signals in the map, in signal order, before
    // any is requested, so that two signals on one line are found whichever
    // program runs: the first fault of a wanted signal, or of two signals
    // on one line.
    LineFault openAll(const std::vector<Signal>& wanted);
    // The chip and the line of an opened signal; null before.
    const GpioChip* chip(Signal s) const;
    GpioLine* line(Signal s) const;
    unsigned offset(Signal s) const { return opened_[static_cast<int>(s)]->offset; }
    // What the kernel tells about the line of an opened signal.
    LineFault info(Signal s, GpioChip::LineInfo& out) const;
    // Requests the line of an opened signal under consumer, as the map says.
    // While the kernel finds it busy and its holder is the checker, or no
    // one by the time it is looked at, the request is made again until the
    // deadline. 0 or the errno value of the last try; after EBUSY, holder
    // is the line as last seen.
    int request(Signal s, const char* consumer, Clock::time_point deadline,
                GpioChip::LineInfo& holder);
    // A hold that the programs wait out rather than fail on.
    static bool passing(const GpioChip::LineInfo& info);
    // "relay_0 (gpiochip1 line 3)", for an opened signal.
    std::string label(Signal s) const;
    // The fault of a line that someone holds: who holds it.
    LineFault heldFault(Signal s, const GpioChip::LineInfo& info) const;

  private:
    // The chip is kept for as long as the line: libgpiod 1 keeps the line
    // inside it.
    struct Opened {
        GpioChip chip;
        unsigned offset = 0;
        GpioLine line;
    };

    LineFault open(Signal s, bool needed);

    LineMap map_;
    std::unique_ptr<Opened> opened_[signalCount];
};

#endif
