// A second writer on a program's standard input: a child process that
// writes one line over and over as fast as the pipe takes it, until stopped.
// Every write holds whole lines and is at most PIPE_BUF bytes, so the pipe
// keeps it in one piece beside the other writer's lines.
#ifndef LINEFLOOD_H
#define LINEFLOOD_H

#include <QByteArray>
#include <atomic>
#include <sys/types.h>

class LineFlood {
  public:
    LineFlood(int fd, const QByteArray& line);
    ~LineFlood();
    LineFlood(const LineFlood&) = delete;
    LineFlood& operator=(const LineFlood&) = delete;

    bool running() const { return child > 0; }
    void stop();
    long long linesWritten() const;
    double seconds() const;

  private:
    [[noreturn]] static void writeForever(int fd, const QByteArray& chunk, int linesPerChunk,
                                          std::atomic<long long>* counter);

    pid_t child = -1;
    // Shared with the child, which counts the lines it has written.
    std::atomic<long long>* written = nullptr;
    long long startUs = 0;
    long long stopUs = 0;
};

#endif
