// What the output tests share: a relay setter that records every level
// written, and a keeper for the outputs they make.
#ifndef RECORDINGSETTER_H
#define RECORDINGSETTER_H

#include "pinout.h"

#include <cstdint>
#include <vector>

namespace recording {

// Every level given to `record`, oldest first.
inline std::vector<int> written;

inline void record(uint8_t level) {
    written.push_back(level);
}

// Outputs are never deleted (they have no virtual destructor); a global root
// keeps them reachable so that leak checkers stay quiet.
inline PinOut* keep(PinOut* out) {
    static std::vector<PinOut*>* made = new std::vector<PinOut*>;
    made->push_back(out);
    return out;
}

} // namespace recording

#endif
