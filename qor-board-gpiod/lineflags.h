// The flags of a line in the map, spelt here only: the map reader parses
// them, and the check command (and the tests' stand-in) show them.
#ifndef LINEFLAGS_H
#define LINEFLAGS_H

#include "linesignal.h"

#include <string>

namespace lineflags {

extern const char* const activeLow;
// "debounce=" before the milliseconds.
extern const char* const debounce;

// Empty for Bias::AsIs and Drive::PushPull, which have no flag.
const char* biasName(Bias bias);
const char* driveName(Drive drive);
bool biasFromName(const std::string& name, Bias& bias);
bool driveFromName(const std::string& name, Drive& drive);

// The flags of a line, separated by commas ("active-low,pull-up"), or "-".
std::string text(const LineSpec& spec);
// Every flag for a message: "active-low, pull-up, ... and debounce=MS".
std::string known();

} // namespace lineflags

#endif
