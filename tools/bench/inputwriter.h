// Writes to the driver's standard input from a thread of its own. While a
// second process floods that pipe a write can wait a long time for room (the
// kernel does not take turns between writers); the benchmark must go on
// reading the driver's output meanwhile, and it needs to know when each line
// entered the pipe.
#ifndef INPUTWRITER_H
#define INPUTWRITER_H

#include "programrun.h"

#include <QByteArray>
#include <QList>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

class InputWriter {
  public:
    struct Done {
        int tag;
        long long callUs; // write(2) called
        long long doneUs; // write(2) returned: the data is in the pipe
    };

    // Nothing else in this process may write to the program's input while
    // the writer exists.
    explicit InputWriter(testkit::ProgramRun& run);
    ~InputWriter();
    InputWriter(const InputWriter&) = delete;
    InputWriter& operator=(const InputWriter&) = delete;

    // Queues one write; up to PIPE_BUF bytes go into the pipe in one piece.
    void send(int tag, const QByteArray& data);
    // The writes finished since the last call; with `wait`, blocks until
    // there is at least one.
    QList<Done> takeDone(bool wait = false);

  private:
    void loop();

    testkit::ProgramRun& run;
    std::mutex lock;
    std::condition_variable queued, finished;
    std::deque<std::pair<int, QByteArray>> queue;
    QList<Done> done;
    bool stopping = false;
    std::thread thread; // last: starts once the members above exist
};

#endif
