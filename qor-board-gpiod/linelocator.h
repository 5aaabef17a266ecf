// Finds the line that a map entry names, on either libgpiod: a chip by
// gpiochipN, by device path or by label, and a line by offset or by its
// kernel name across all chips (the first found, in chip order). The
// faults are worded here for both backends.
#ifndef LINELOCATOR_H
#define LINELOCATOR_H

#include "gpiochip.h"

// Opens the chip of the entry into chip, the very chip that was checked
// and searched, and gives the line's offset on it. The fault says what went
// wrong in terms of the map entry (EX_CONFIG), that the user may not open a
// chip (EX_NOPERM), or why the chips cannot be searched or opened
// (EX_UNAVAILABLE).
LineFault locateLine(const LineSpec& spec, GpioChip& chip, unsigned& offset);

// Whether an errno value from opening a chip is a lack of permission.
bool deniedAccess(int errnum);

#endif
