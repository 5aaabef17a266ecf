// What the line map says about one signal, and the faults met on the way from
// the map to a line: plain data shared by the map reader, the line code and
// the check command.
#ifndef LINESIGNAL_H
#define LINESIGNAL_H

#include <cstring>
#include <string>
#include <sysexits.h>

enum class Signal { Relay0, Relay1, Key0, Key1, Led };
const int signalCount = 5;

inline const char* signalName(Signal s) {
    static const char* const names[signalCount] = {"relay_0", "relay_1", "key_0", "key_1", "led"};
    return names[static_cast<int>(s)];
}

inline bool signalFromName(const std::string& name, Signal& s) {
    for (int i = 0; i < signalCount; ++i) {
        if (name == signalName(static_cast<Signal>(i))) {
            s = static_cast<Signal>(i);
            return true;
        }
    }
    return false;
}

// Relays and the LED are driven; the keys are read.
inline bool isOutput(Signal s) {
    return s != Signal::Key0 && s != Signal::Key1;
}

enum class Bias { AsIs, PullUp, PullDown, Disable };

// How an output drives its line.
enum class Drive { PushPull, OpenDrain, OpenSource };

const int maxDebounceMs = 1000;

// The consumer name under which qor-board-lines holds a key line for the
// moment of reading it, whatever name it was started by: the programs wait
// out such a hold (MappedLines::request).
const char* const checkerName = "qor-board-lines";

// How the map names a chip: gpiochipN, a device path, or the chip's label.
enum class ChipBy { Name, Path, Label };

struct LineSpec {
    Signal signal = Signal::Relay0;
    int lineNumber = 0; // in the map file
    // Empty when the line is found by its name on any chip.
    std::string chip;
    ChipBy chipBy = ChipBy::Name;
    unsigned offset = 0;
    std::string lineName;
    bool activeLow = false;
    Bias bias = Bias::AsIs;
    Drive drive = Drive::PushPull;
    int debounceMs = -1; // -1: not asked for
};

// A fault that ends the process with its status: EX_CONFIG for the map,
// EX_NOPERM for a chip the user may not open, EX_UNAVAILABLE for a line
// that cannot be had or driven. Status 0 is none.
struct LineFault {
    int status = 0;
    std::string text;

    explicit operator bool() const { return status != 0; }
};

// An errno value as text, untranslated.
inline std::string errorText(int errnum) {
    const char* text = strerrordesc_np(errnum);
    return text ? text : "error " + std::to_string(errnum);
}

#endif
