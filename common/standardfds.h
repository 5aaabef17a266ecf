// Standard descriptors for programs that may be started with some closed.
#ifndef STANDARDFDS_H
#define STANDARDFDS_H

// Puts /dev/null on each of descriptors 0, 1 and 2 that is closed, so that no
// file opened later takes its number and gets what the program writes to
// standard output or error (or is read as its input). Call it first in main,
// before anything is opened or written. Without /dev/null there is no safe
// place for them, and the process ends with status 1.
void openStandardDescriptors();

#endif
