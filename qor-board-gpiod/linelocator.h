// Finds the line that a map entry names, on either libgpiod: a chip by
// gpiochipN, by device path or by label, and a line by offset or by its
// kernel name across all chips (the first found, in chip order). The
// faults are worded here for both backends.
#ifndef LINELOCATOR_H
#define LINELOCATOR_H

#include "gpioline.h"

// Opens the chip of the entry into line and selects its line. The fault says
// what went wrong in terms of the map entry (EX_CONFIG), or why the chips
// cannot be searched or opened (EX_UNAVAILABLE).
LineFault locateLine(const LineSpec& spec, GpioLine& line);

#endif
