#ifndef FAILSAFE_H
#define FAILSAFE_H

#include <cstdint>

// The last resort when the process crashes (SIGSEGV, SIGBUS, SIGFPE, SIGILL,
// SIGABRT): the handler writes each pulse output's resting level through its
// setter, then lets the signal take its default course, so that the exit
// status and any core dump stay truthful. Everything it touches is known
// from start-up: no allocation, no locks.
namespace FailSafe {

using Setter = void (*)(uint8_t);

// Installs the crash handlers; call first thing in main.
void install();
// Gives the calling thread a stack of its own for the handler, so that a
// thread that overflowed its stack still rests the relays.
void onThisThread();
// On the main thread at start-up, before the worker threads run: the
// handler writes `level` through `setter`. At most two.
void restOnCrash(Setter setter, uint8_t level);

// Every relay write goes through this, so that a write under way on one
// thread cannot follow the resting level that the handler writes on another.
void write(Setter setter, uint8_t level);

} // namespace FailSafe

#endif
