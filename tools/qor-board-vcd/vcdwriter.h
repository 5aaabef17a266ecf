// Writes a Value Change Dump of 1-bit signals: the header, then the changes
// grouped by time. Every signal is undefined ('x') until it is first set.
#ifndef VCDWRITER_H
#define VCDWRITER_H

#include <ostream>
#include <string>
#include <vector>

class VcdWriter {
  public:
    VcdWriter(std::ostream& out, std::vector<std::string> names);

    // `comment` goes into the header when it is not empty.
    void header(const std::string& comment);
    // Moves on to time `t` (microseconds, never earlier than the time before).
    void time(long long t);
    // Sets a signal at the current time: '0', '1' or 'x'. Only a level that
    // differs from the one written before becomes a change.
    void set(size_t signal, char level);
    // Writes what is pending and a last time stamp just after the current
    // time, so that viewers show the whole span and readers that sample the
    // dump see the last change too.
    void finish();

  private:
    void flush();
    char code(size_t signal) const;

    std::ostream& out;
    std::vector<std::string> names;
    std::vector<char> levels;
    std::vector<char> shown; // as last written
    long long now = -1;
    bool dumped = false;
};

#endif
