#include "outputqueue.h"

#include <cerrno>
#include <chrono>
#include <sys/eventfd.h>
#include <unistd.h>

OutputQueue::OutputQueue(std::size_t capacity)
    : capacity(capacity), wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

OutputQueue::~OutputQueue() {
    if (wake >= 0) {
        ::close(wake);
    }
}

bool OutputQueue::push(const QByteArray& entry) {
    std::unique_lock<std::mutex> hold(lock);
    // An entry larger than the whole queue still goes in once it is empty.
    changed.wait(hold, [&] {
        return closed || entries.empty() || bytes + std::size_t(entry.size()) <= capacity;
    });
    if (closed) {
        return false;
    }
    bool wasEmpty = entries.empty();
    entries.push_back(entry);
    bytes += std::size_t(entry.size());
    if (wasEmpty) {
        signalWake();
    }
    return true;
}

bool OutputQueue::offer(const QByteArray& entry, int lines) {
    std::lock_guard<std::mutex> hold(lock);
    if (closed) {
        return false;
    }
    if (!entries.empty() && bytes + std::size_t(entry.size()) > capacity) {
        dropped += std::uint64_t(lines);
        return false;
    }
    bool wasEmpty = entries.empty();
    entries.push_back(entry);
    bytes += std::size_t(entry.size());
    if (wasEmpty) {
        signalWake();
    }
    return true;
}

bool OutputQueue::peek(QByteArray& entry) {
    std::lock_guard<std::mutex> hold(lock);
    if (entries.empty()) {
        return false;
    }
    entry = entries.front();
    return true;
}

void OutputQueue::pop() {
    {
        std::lock_guard<std::mutex> hold(lock);
        if (entries.empty()) {
            return;
        }
        bytes -= std::size_t(entries.front().size());
        entries.pop_front();
    }
    changed.notify_all();
}

std::uint64_t OutputQueue::takeDropped() {
    std::lock_guard<std::mutex> hold(lock);
    if (!entries.empty()) {
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
        entries.clear();
        bytes = 0;
    }
    changed.notify_all();
    signalWake();
}

bool OutputQueue::isClosed() {
    std::lock_guard<std::mutex> hold(lock);
    return closed;
}

bool OutputQueue::waitEmpty(int timeoutMs) {
    std::unique_lock<std::mutex> hold(lock);
    return changed.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                            [&] { return entries.empty(); });
}

// A counter, never a blocking write: safe under the lock and from any thread.
void OutputQueue::signalWake() {
    eventfd_write(wake, 1);
}
