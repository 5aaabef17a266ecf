// The board lines of this process, behind the board functions. A fault ends
// the process with one line on standard error (FatalReport): EX_CONFIG for
// the map, EX_NOPERM for a chip the user may not open, EX_UNAVAILABLE for a
// line that cannot be had or driven, EX_SOFTWARE for a line used before its
// init function.
#ifndef BOARDLINES_H
#define BOARDLINES_H

#include "linesignal.h"

#include <cstdint>
#include <vector>

namespace boardlines {

// Reads and checks the map ($QOR_BOARD_LINES or /etc/qor-board/lines.conf),
// once; touches no line.
void loadMap();
// Requests the lines of these signals for good, all of them or none, under
// the program's name; those already had are left as they are. A line that
// qor-board-lines holds for a moment is waited for, one second at most.
void acquire(const std::vector<Signal>& signals);
// Async-signal-safe: one ioctl on a line requested before. op and init name
// the board function and its init function for a call made too early.
void set(Signal s, uint8_t level, const char* op, const char* init) noexcept;
uint8_t get(Signal s, const char* op, const char* init) noexcept;

} // namespace boardlines

#endif
