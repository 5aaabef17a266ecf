#include "stdindevice.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

StdinDevice::StdinDevice(int fd) : fd(fd) {
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);
}

qint64 StdinDevice::readData(char* data, qint64 maxSize) {
    for (;;) {
        ssize_t got = ::read(fd, data, static_cast<size_t>(maxSize));
        if (got > 0) {
            return got;
        }
        if (got == 0) {
            return -1;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // Someone else made the descriptor non-blocking: wait, don't spin.
            pollfd wait{fd, POLLIN, 0};
            poll(&wait, 1, -1);
        } else if (errno != EINTR) {
            return -1;
        }
    }
}
