// Output of the simulated board: the trace file and the lines on standard
// error. All functions are async-signal-safe (one write(2) per line).
#ifndef SIMOUT_H
#define SIMOUT_H

#include <cstdint>

namespace simout {

long long nowUs();
void trace(long long tUs, const char* op, uint32_t value, bool hasValue);
void show(const char* device, int level);
void warnOrder(const char* op, const char* init);
// "board: warning: " followed by text and more.
void warn(const char* text, const char* more = "");

} // namespace simout

#endif
