// Turns the simulated board's trace, line by line, into a Value Change Dump
// of relay 0, relay 1, key 0, key 1 and the LED. Time 0 is the first line; a
// signal changes when a call sets, or a key poll reads, a new level.
#ifndef TRACECONVERTER_H
#define TRACECONVERTER_H

#include "vcdwriter.h"

#include <ostream>
#include <string>

class TraceConverter {
  public:
    explicit TraceConverter(std::ostream& out);

    // False, with the reason in `error`, when the text is no trace line or
    // its time lies before the line before.
    bool add(const std::string& text, std::string& error);
    void finish();

  private:
    static int signalOf(const std::string& op);

    VcdWriter vcd;
    long long firstUs = -1;
    long long lastUs = -1;
};

#endif
