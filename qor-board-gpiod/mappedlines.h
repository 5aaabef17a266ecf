// The lines of a line map, opened signal by signal. Shared by the board
// functions and the check command, so both find the same line for a signal
// and give the same faults.
#ifndef MAPPEDLINES_H
#define MAPPEDLINES_H

#include "gpioline.h"
#include "linemap.h"

#include <memory>
#include <vector>

class MappedLines {
  public:
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
    // What the kernel tells about the line of an opened signal.
    LineFault info(Signal s, GpioLine::Info& out) const;
    // The line of an opened signal, else null.
    GpioLine* line(Signal s) const { return lines_[static_cast<int>(s)].get(); }
    // "relay_0 (gpiochip1 line 3)", for an opened signal.
    std::string label(Signal s) const;
    // The fault of a line that someone holds: who holds it.
    LineFault heldFault(Signal s, const GpioLine::Info& info) const;

  private:
    LineFault open(Signal s, bool needed);

    LineMap map_;
    std::unique_ptr<GpioLine> lines_[signalCount];
};

#endif
