#include "outputwriter.h"

#include <QString>
#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace {

// The read end of a pipe closed shows as an error on the write end; a
// terminal or socket that hangs up shows as a hang-up.
const short readerGone = POLLERR | POLLHUP | POLLNVAL;

} // namespace

OutputWriter::OutputWriter(OutputQueue& queue, int fd, GoneHandler onGone)
    : queue(queue), fd(fd), onGone(onGone) {}

void OutputWriter::start() {
    std::thread(&OutputWriter::run, this).detach();
}

void OutputWriter::run() {
    QByteArray entry;
    for (;;) {
        while (queue.peek(entry)) {
            if (!writeAll(entry)) {
                return;
            }
            queue.pop();
            reportDropped();
        }
        if (queue.isClosed() || !waitForWork()) {
            return;
        }
    }
}

bool OutputWriter::waitForWork() {
    // No events asked on the descriptor: only an error or hang-up wakes it.
    pollfd wait[2] = {{fd, 0, 0}, {queue.wakeFd(), POLLIN, 0}};
    while (poll(wait, 2, -1) < 0) {
        if (errno != EINTR) {
            gone(errno);
            return false;
        }
    }
    if (wait[0].revents & readerGone) {
        gone(EPIPE);
        return false;
    }
    queue.consumeWake();
    return true;
}

bool OutputWriter::writeAll(const QByteArray& entry) {
    const char* p = entry.constData();
    std::size_t left = std::size_t(entry.size());
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n > 0) {
            p += n;
            left -= std::size_t(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
            // Someone made the descriptor non-blocking: wait, don't spin.
            if (!waitWritable()) {
                return false;
            }
        } else {
            gone(errno);
            return false;
        }
    }
    return true;
}

bool OutputWriter::waitWritable() {
    pollfd wait{fd, POLLOUT, 0};
    while (poll(&wait, 1, -1) < 0) {
        if (errno != EINTR) {
            gone(errno);
            return false;
        }
    }
    if ((wait.revents & readerGone) && !(wait.revents & POLLOUT)) {
        gone(EPIPE);
        return false;
    }
    return true;
}

// Said once the reader has caught up, on standard error: standard output
// carries the protocol only.
void OutputWriter::reportDropped() {
    std::uint64_t dropped = queue.takeDropped();
    if (dropped == 0) {
        return;
    }
    QByteArray line = QString("qor-driver-relay: standard output was not read in time; %1 key "
                              "report line(s) dropped\n")
                          .arg(dropped)
                          .toUtf8();
    ssize_t ignored = ::write(STDERR_FILENO, line.constData(), std::size_t(line.size()));
    (void)ignored;
}

void OutputWriter::gone(int error) {
    queue.close();
    onGone(error);
}
