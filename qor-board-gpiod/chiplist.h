// The GPIO chips of the machine, for the look-ups by label and by line name
// that the shared code makes on either libgpiod.
#ifndef CHIPLIST_H
#define CHIPLIST_H

#include <string>
#include <vector>

// The device paths of the GPIO chips (/dev/gpiochipN), in the order of N.
std::vector<std::string> gpioChipPaths();

// Whether path is a GPIO chip, found without opening it: a character device
// whose numbers the kernel lists under the gpio subsystem of sys. 0, ENOENT,
// ENOTTY (not a character device), ENODEV (another kind of device), or the
// errno value of a stat(2) that failed.
int checkChipPath(const std::string& path, const std::string& sys = "/sys");

class GpioChip;
// Opens the chip at path into chip only if it is a GPIO chip: the path is
// opened without access (O_PATH, which neither blocks nor wakes a device),
// that very file is checked, and libgpiod opens it again through
// /proc/self/fd, so a path swapped in the meantime is never opened.
// Without /proc, the path is checked and then opened by name. 0 or errno.
int openCheckedChip(const std::string& path, GpioChip& chip, const std::string& sys = "/sys");

#endif
