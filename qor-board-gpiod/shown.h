// A text from the map or the kernel as a message shows it: in double quotes,
// bytes that are not printable ASCII written as \xNN (\t and \r by name),
// and cut after 64 characters with "..." so that the reason after it always
// fits in the message.
#ifndef SHOWN_H
#define SHOWN_H

#include <string>

std::string shown(const std::string& s);
// The same without the quotes.
std::string escaped(const std::string& s);

#endif
