#include "lineflood.h"

#include "boardtrace.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

LineFlood::LineFlood(int fd, const QByteArray& line) {
    void* shared = mmap(nullptr, sizeof(std::atomic<long long>), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED || line.isEmpty() || line.size() > PIPE_BUF) {
        return;
    }
    written = new (shared) std::atomic<long long>(0);
    int linesPerChunk = PIPE_BUF / line.size();
    QByteArray chunk = line.repeated(linesPerChunk); // built before the fork
    startUs = testkit::monotonicUs();
    child = fork();
    if (child == 0) {
        writeForever(fd, chunk, linesPerChunk, written);
    }
}

LineFlood::~LineFlood() {
    stop();
    if (written) {
        munmap(written, sizeof(std::atomic<long long>));
    }
}

// Runs in the child: only write(2) and _exit, nothing that could hold a lock
// taken in the parent at the fork.
void LineFlood::writeForever(int fd, const QByteArray& chunk, int linesPerChunk,
                             std::atomic<long long>* counter) {
    for (;;) {
        ssize_t n = write(fd, chunk.constData(), static_cast<size_t>(chunk.size()));
        if (n == chunk.size()) {
            counter->fetch_add(linesPerChunk, std::memory_order_relaxed);
        } else if (n >= 0 || errno != EINTR) {
            _exit(n < 0 ? 1 : 2); // reader gone, or a short write that must not happen
        }
    }
}

void LineFlood::stop() {
    if (child <= 0) {
        return;
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    child = -1;
    stopUs = testkit::monotonicUs();
}

long long LineFlood::linesWritten() const {
    return written ? written->load() : 0;
}

double LineFlood::seconds() const {
    long long end = child > 0 ? testkit::monotonicUs() : stopUs;
    return static_cast<double>(end - startUs) / 1e6;
}
