// Settings of the simulated board, taken from the environment once when the
// library is loaded, so that no call has to allocate or parse later.
#ifndef SIMCONFIG_H
#define SIMCONFIG_H

namespace simconfig {

int traceFd();
// Whether level changes are shown on standard error: without a trace, or
// when QOR_BOARD_SHOW is 1.
bool showing();
double delayScale();
// True when <QOR_BOARD_KEYS>/key<key> (key 0 or 1) is a regular file whose
// first byte is '1'.
bool keyFileIsSet(int key);

} // namespace simconfig

#endif
