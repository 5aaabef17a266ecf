#include "outputqueue.h"

#include <chrono>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

// The queue is built before main() can put /dev/null on a closed standard
// descriptor, so its own descriptor keeps clear of 0 to 2.
int wakeDescriptor() {
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd >= 0 && fd <= 2) {
        int above = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        ::close(fd);
        fd = above;
    }
    return fd;
}

} // namespace

OutputQueue::OutputQueue(int capacity) : capacity(capacity), wake(wakeDescriptor()) {}

OutputQueue::~OutputQueue() {
    if (wake >= 0) {
        ::close(wake);
    }
}

bool OutputQueue::push(const QByteArray& entry) {
    std::unique_lock<std::mutex> hold(lock);
    ++waiting;
    // An entry larger than the whole queue still goes in once it is empty.
    changed.wait(hold, [&] { return closed || size() == 0 || size() + entry.size() <= capacity; });
    --waiting;
    return !closed && append(entry);
}

bool OutputQueue::offer(const QByteArray& entry, int lines) {
    std::lock_guard<std::mutex> hold(lock);
    if (closed) {
        return false;
    }
    if (waiting > 0 || size() + entry.size() > capacity) {
        dropped += std::uint64_t(lines);
        return false;
    }
    return append(entry);
}

bool OutputQueue::append(const QByteArray& entry) {
    bool wasEmpty = size() == 0;
    // Bytes are copied in and out, never shared with another thread's array.
    buffer.append(entry.constData(), entry.size());
    // A counter, never a blocking write: safe under the lock.
    if (wasEmpty) {
        eventfd_write(wake, 1);
    }
    return true;
}

bool OutputQueue::peek(QByteArray& bytes, int max) {
    std::lock_guard<std::mutex> hold(lock);
    if (size() == 0) {
        return false;
    }
    bytes = QByteArray(buffer.constData() + head, qMin(max, size()));
    return true;
}

void OutputQueue::consumed(int count) {
    {
        std::lock_guard<std::mutex> hold(lock);
        head += qMin(count, size());
        // Consumed bytes are dropped when that is cheap: all of them, or a
        // front half that a move of the rest reclaims.
        if (size() == 0) {
            buffer.clear();
            head = 0;
        } else if (head >= capacity / 2) {
            buffer.remove(0, head);
            head = 0;
        }
    }
    changed.notify_all();
}

std::uint64_t OutputQueue::takeDropped() {
    std::lock_guard<std::mutex> hold(lock);
    if (size() != 0) {
        return 0;
    }
    std::uint64_t n = dropped;
    dropped = 0;
    return n;
}

void OutputQueue::consumeWake() {
    eventfd_t ignored;
    eventfd_read(wake, &ignored);
}

void OutputQueue::close() {
    {
        std::lock_guard<std::mutex> hold(lock);
        closed = true;
        buffer.clear();
        head = 0;
    }
    changed.notify_all();
    eventfd_write(wake, 1);
}

bool OutputQueue::isClosed() {
    std::lock_guard<std::mutex> hold(lock);
    return closed;
}

bool OutputQueue::waitEmpty(int timeoutMs) {
    std::unique_lock<std::mutex> hold(lock);
    return changed.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                            [&] { return size() == 0; });
}
