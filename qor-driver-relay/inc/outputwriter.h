#ifndef OUTPUTWRITER_H
#define OUTPUTWRITER_H

#include "outputqueue.h"

#include <atomic>
#include <thread>

// The one thread that writes standard output. Nothing else ever waits for
// the reader. It also watches the descriptor while idle, so that a reader
// that has gone away is noticed at once, not only at the next line.
class OutputWriter {
  public:
    // Called on the writer thread, once, when the reader is gone; the queue
    // is closed by then.
    using GoneHandler = void (*)(int error);
    // The error given for a hang-up (a terminal's, or a socket closed by its
    // peer), which has no error number of its own.
    static constexpr int hangUp = -1;

    OutputWriter(OutputQueue& queue, int fd, GoneHandler onGone);
    // Never joined: the process ends while the thread may still be blocked.
    void start();

  private:
    void run();
    // Waits until the queue may hold something; false when the reader is gone.
    bool waitForWork();
    // Writes a first part of the bytes; how much, or -1 when the reader is gone.
    int writeSome(const QByteArray& bytes);
    // Waits until the descriptor takes more; false when the reader is gone.
    bool waitWritable();
    void reportDropped();
    void gone(int error);

    OutputQueue& queue;
    const int fd;
    const GoneHandler onGone;
};

#endif
