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
// True when <QOR_BOARD_KEYS>/<name> exists and its first byte is '1'.
bool keyFileIsSet(const char* name);

} // namespace simconfig

#endif
