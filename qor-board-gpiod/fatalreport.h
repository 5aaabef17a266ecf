// The one line a board fault leaves on standard error before the process
// ends. Async-signal-safe from start to end (a fixed buffer, one write(2),
// _exit), since a fault can be met inside the LED blinker's signal handler.
#ifndef FATALREPORT_H
#define FATALREPORT_H

#include <string>

class FatalReport {
  public:
    // The line starts with the program's name.
    explicit FatalReport(int status);

    FatalReport& text(const char* s);
    FatalReport& text(const std::string& s) { return text(s.c_str()); }
    // Describes an errno value, untranslated.
    FatalReport& error(int errnum);
    // Writes the line and ends the process, only once: a second fault met
    // meanwhile on another thread waits for the first report to end it.
    [[noreturn]] void exit();

  private:
    char buf_[1024];
    unsigned len_ = 0;
    unsigned kept_ = 0; // the program's name, never cut
    int status_;
};

#endif
