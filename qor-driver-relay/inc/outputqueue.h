#ifndef OUTPUTQUEUE_H
#define OUTPUTQUEUE_H

#include <QByteArray>
#include <condition_variable>
#include <cstdint>
#include <mutex>

// Bytes on their way to standard output. Any thread queues whole entries
// (one or more complete lines that stay together); the one writer takes them
// in order. Since nothing else writes the descriptor, lines stay whole however
// the writer splits the bytes. The queue holds at most `capacity` bytes, so a
// reader that stops reading costs bounded memory: those who may wait for
// room use push(), those who must never wait use offer().
class OutputQueue {
  public:
    // Over 50 minutes of key reports even when both keys change on every tick.
    static constexpr int defaultCapacity = 1024 * 1024;

    explicit OutputQueue(int capacity = defaultCapacity);
    ~OutputQueue();
    OutputQueue(const OutputQueue&) = delete;
    OutputQueue& operator=(const OutputQueue&) = delete;

    // Queues the entry, waiting for room; false once the queue is closed.
    bool push(const QByteArray& entry);
    // Queues the entry if there is room now and nobody waits for room before
    // it; otherwise counts its `lines` as dropped. False when not queued.
    bool offer(const QByteArray& entry, int lines = 1);

    // Writer side: a copy of up to `max` of the oldest bytes, which stay
    // queued until consumed(); false when there are none.
    bool peek(QByteArray& bytes, int max);
    void consumed(int count);
    // Lines dropped since the count was last taken, handed out only once the
    // queue has drained (0 until then).
    std::uint64_t takeDropped();
    // Readable while bytes may be waiting; the writer polls it beside its
    // descriptor. consumeWake() clears it.
    int wakeFd() const { return wake; }
    void consumeWake();

    // No more entries: what is queued is discarded, waiting pushes return.
    void close();
    bool isClosed();
    // Waits until every queued byte was consumed, or the time is up.
    bool waitEmpty(int timeoutMs);

  private:
    bool append(const QByteArray& entry);
    int size() const { return buffer.size() - head; }

    const int capacity;
    std::mutex lock;
    std::condition_variable changed;
    QByteArray buffer; // queued bytes start at `head`
    int head = 0;
    int waiting = 0; // pushes waiting for room
    std::uint64_t dropped = 0;
    bool closed = false;
    int wake = -1;
};

#endif
