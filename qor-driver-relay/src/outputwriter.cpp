#include "outputwriter.h"

#include "console.h"
#include "failsafe.h"

#include <QString>
#include <cerrno>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

namespace {

// The read end of a pipe closed shows as an error on the write end; a
// terminal or socket that hangs up shows as a hang-up.
const short readerGone = POLLERR | POLLHUP | POLLNVAL;
// Up to a pipe's usual size at once.
const int maxWrite = 65536;

// A pipe whose read end was closed shows an error; what only hung up is
// named as such.
int goneError(short revents) {
    if (revents & POLLERR) {
        return EPIPE;
    }
    return (revents & POLLNVAL) ? EBADF : OutputWriter::hangUp;
}

} // namespace

OutputWriter::OutputWriter(OutputQueue& queue, int fd, GoneHandler onGone)
    : queue(queue), fd(fd), onGone(onGone) {}

void OutputWriter::start() {
    std::thread(&OutputWriter::run, this).detach();
}

void OutputWriter::run() {
    pthread_setname_np(pthread_self(), "output");
    FailSafe::onThisThread();
    QByteArray bytes;
    for (;;) {
        while (queue.peek(bytes, maxWrite)) {
            int written = writeSome(bytes);
            if (written < 0) {
                return;
            }
            queue.consumed(written);
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
        gone(goneError(wait[0].revents));
        return false;
    }
    queue.consumeWake();
    return true;
}

int OutputWriter::writeSome(const QByteArray& bytes) {
    for (;;) {
        ssize_t n = ::write(fd, bytes.constData(), std::size_t(bytes.size()));
        if (n > 0) {
            return int(n);
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            gone(errno);
            return -1;
        }
        // Someone made the descriptor non-blocking: wait, don't spin.
        if (!waitWritable()) {
            return -1;
        }
    }
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
        gone(goneError(wait.revents));
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
    Console::warn(QString("standard output was not read in time; %1 key report line(s) dropped")
                      .arg(dropped));
}

void OutputWriter::gone(int error) {
    queue.close();
    onGone(error);
}
