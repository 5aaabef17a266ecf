#ifndef OUTPUTQUEUE_H
#define OUTPUTQUEUE_H

#include <QByteArray>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

// Lines on their way to standard output. Any thread queues whole entries (one
// or more complete lines that stay together); the one writer takes them in
// order. The queue holds at most `capacity` bytes, so a reader that stops
// reading costs bounded memory: those who may wait for room use push(),
// those who must never wait use offer(), which drops the entry when full.
class OutputQueue {
  public:
    // Minutes of key reports even when both keys change on every tick.
    static constexpr std::size_t defaultCapacity = 1024 * 1024;

    explicit OutputQueue(std::size_t capacity = defaultCapacity);
    ~OutputQueue();
    OutputQueue(const OutputQueue&) = delete;
    OutputQueue& operator=(const OutputQueue&) = delete;

    // Queues the entry, waiting for room; false once the queue is closed.
    bool push(const QByteArray& entry);
    // Queues the entry if there is room now; otherwise counts its `lines` as
    // dropped. False when the entry was not queued.
    bool offer(const QByteArray& entry, int lines = 1);

    // Writer side: the oldest entry, left in the queue until pop(); false
    // when the queue is empty.
    bool peek(QByteArray& entry);
    void pop();
    // Lines dropped since the last count was taken, handed out only once
    // the queue has drained (0 until then).
    std::uint64_t takeDropped();
    // Readable (level-triggered) while entries may be waiting; the writer
    // polls it together with its descriptor. consumeWake() clears it.
    int wakeFd() const { return wake; }
    void consumeWake();

    // No more entries: what is queued is discarded, waiting pushes return.
    void close();
    bool isClosed();
    // Waits until everything queued was taken, or the time is up.
    bool waitEmpty(int timeoutMs);

  private:
    void signalWake();

    const std::size_t capacity;
    std::mutex lock;
    std::condition_variable changed;
    std::deque<QByteArray> entries;
    std::size_t bytes = 0;
    std::uint64_t dropped = 0;
    bool closed = false;
    int wake = -1;
};

#endif
