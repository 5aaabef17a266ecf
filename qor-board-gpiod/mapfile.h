// Reading the line map's file: only a regular file of at most 64 KiB, and
// nothing that could block the reader.
#ifndef MAPFILE_H
#define MAPFILE_H

#include <string>

namespace mapfile {

// Faults of the file that are no errno value.
const int notRegular = -1;
const int tooLarge = -2;

// The whole file into text: 0, an errno value, or one of the faults above.
int read(const std::string& path, std::string& text);
// The same from an open descriptor, which stays open.
int readFd(int fd, std::string& text);
// The fault as the map's message shows it.
std::string faultText(int fault);

} // namespace mapfile

#endif
