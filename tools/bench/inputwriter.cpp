#include "inputwriter.h"

InputWriter::InputWriter(testkit::ProgramRun& run) : run(run), thread(&InputWriter::loop, this) {}

InputWriter::~InputWriter() {
    {
        std::lock_guard<std::mutex> g(lock);
        stopping = true;
    }
    queued.notify_one();
    thread.join();
}

void InputWriter::send(int tag, const QByteArray& data) {
    {
        std::lock_guard<std::mutex> g(lock);
        queue.emplace_back(tag, data);
    }
    queued.notify_one();
}

QList<InputWriter::Done> InputWriter::takeDone(bool wait) {
    std::unique_lock<std::mutex> g(lock);
    if (wait) {
        finished.wait(g, [this] { return !done.isEmpty(); });
    }
    QList<Done> out;
    out.swap(done);
    return out;
}

// Writes what is queued, in order, until stopped; what is still queued at
// the stop is dropped.
void InputWriter::loop() {
    std::unique_lock<std::mutex> g(lock);
    for (;;) {
        queued.wait(g, [this] { return stopping || !queue.empty(); });
        if (stopping) {
            return;
        }
        std::pair<int, QByteArray> item = queue.front();
        queue.pop_front();
        g.unlock();
        long long callUs = testkit::monotonicUs();
        run.write(item.second);
        long long doneUs = testkit::monotonicUs();
        g.lock();
        done.append({item.first, callUs, doneUs});
        finished.notify_one();
    }
}
