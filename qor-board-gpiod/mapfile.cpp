#include "mapfile.h"

#include "linesignal.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A map is a few lines; anything this big is the wrong file, and reading
// /dev/zero must end.
const size_t maxMapBytes = 64 * 1024;

} // namespace

namespace mapfile {

int read(const std::string& path, std::string& text) {
    // Non-blocking, so that a FIFO or a terminal cannot hold the open; only
    // a regular file is read.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return errno;
    }
    int fault = readFd(fd, text);
    close(fd);
    return fault;
}

int readFd(int fd, std::string& text) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        return errno;
    }
    if (S_ISDIR(st.st_mode)) {
        return EISDIR;
    }
    if (!S_ISREG(st.st_mode)) {
        return notRegular;
    }
    char buf[4096];
    for (;;) {
        ssize_t got = ::read(fd, buf, sizeof buf);
        if (got == 0) {
            return 0;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return errno;
        }
        if (text.size() + static_cast<size_t>(got) > maxMapBytes) {
            return tooLarge;
        }
        text.append(buf, static_cast<size_t>(got));
    }
}

std::string faultText(int fault) {
    switch (fault) {
    case notRegular:
        return "not a regular file, not a line map";
    case tooLarge:
        return "larger than 64 KiB, not a line map";
    default:
        return errorText(fault);
    }
}

} // namespace mapfile
