// When the relay and key channels send their next probe, and how long they
// wait for what it should cause.
#ifndef PROBETIMING_H
#define PROBETIMING_H

#include "relayprotocol.h"

#include <random>

namespace probetiming {

using testkit::protocol::tickUs;

// Past this, an activation or key change that has not shown counts as lost.
constexpr long long graceUs = 15 * tickUs;

// A random moment within the next tick, so that the probes fall on every
// phase of the driver's tick.
inline long long nextAt(long long nowUs, std::mt19937& rng) {
    return nowUs + std::uniform_int_distribution<long long>(0, tickUs - 1)(rng);
}

} // namespace probetiming

#endif
