// The queue between the threads that write lines and the one writer, with
// real threads on both sides, and the writer noticing its reader gone.
#include "outputqueue.h"
#include "outputwriter.h"

#include <QtTest>
#include <atomic>
#include <cerrno>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// What a writer does: takes whatever is there, in pieces of any size.
QByteArray drain(OutputQueue& queue, int piece) {
    QByteArray all, bytes;
    while (queue.peek(bytes, piece)) {
        all += bytes;
        queue.consumed(bytes.size());
    }
    return all;
}

// A thread of this process, which waits in a call of the queue once it sleeps.
class Waiter {
  public:
    // Called on the thread itself.
    void here() { tid = static_cast<long>(syscall(SYS_gettid)); }
    // Until the thread sleeps (or `done` holds, should it not wait at all).
    bool waitsOr(const std::atomic<bool>& done) {
        return QTest::qWaitFor([&] { return done.load() || sleeps(); }, 10000);
    }

  private:
    bool sleeps() const {
        QFile stat(QString("/proc/self/task/%1/stat").arg(tid.load()));
        if (tid.load() == 0 || !stat.open(QIODevice::ReadOnly)) {
            return false;
        }
        QByteArray text = stat.readAll();
        return text.mid(text.lastIndexOf(')') + 2, 1) == "S";
    }

    std::atomic<long> tid{0};
};

std::atomic<int> goneError{0};
void noteGone(int error) {
    goneError = error;
}

QByteArray entry(int producer, int number) {
    // Two lines that must stay together.
    return QString("a %1 %2\nb %1 %2\n").arg(producer).arg(number).toUtf8();
}

} // namespace

class TestOutputQueue : public QObject {
    Q_OBJECT

  private slots:
    // Several threads push while one takes bytes in odd-sized pieces: each
    // thread's entries arrive in order and whole.
    void orderAndWholeEntriesAcrossThreads() {
        const int producers = 4, perProducer = 5000;
        OutputQueue queue(4096); // small, so that pushes wait for room
        std::vector<std::thread> threads;
        for (int p = 0; p < producers; ++p) {
            threads.emplace_back([&queue, p] {
                for (int i = 0; i < perProducer; ++i) {
                    queue.push(entry(p, i));
                }
            });
        }
        QByteArray got;
        QElapsedTimer time;
        time.start();
        int expectedLines = producers * perProducer * 2;
        while (got.count('\n') < expectedLines && time.elapsed() < 60000) {
            got += drain(queue, 7);
        }
        for (std::thread& t : threads) {
            t.join();
        }
        got += drain(queue, 7);
        const QList<QByteArray> lines = got.split('\n');
        QCOMPARE(lines.size(), expectedLines + 1);
        int next[producers] = {};
        for (int i = 0; i + 1 < lines.size(); i += 2) {
            QList<QByteArray> a = lines[i].split(' '), b = lines[i + 1].split(' ');
            QVERIFY2(a.size() == 3 && a[0] == "a", lines[i].constData());
            QCOMPARE(b, QList<QByteArray>({"b", a[1], a[2]}));
            int p = a[1].toInt();
            QCOMPARE(a[2].toInt(), next[p]++);
        }
        QCOMPARE(queue.takeDropped(), 0u);
    }

    // offer() never waits: it drops and counts what does not fit. The count
    // is handed out once the queue has drained.
    void offerDropsWhenFull() {
        OutputQueue queue(40);
        QVERIFY(queue.offer("0123456789012345678\n")); // 20 bytes
        QVERIFY(queue.offer("0123456789012345678\n"));
        QVERIFY(!queue.offer("x\n"));
        QVERIFY(!queue.offer("x\ny\n", 2));
        QCOMPARE(queue.takeDropped(), 0u); // not drained yet
        QByteArray bytes;
        QVERIFY(queue.peek(bytes, 30));
        queue.consumed(bytes.size());
        QVERIFY(queue.offer("x\n")); // room again
        QCOMPARE(drain(queue, 100).size(), 10 + 2);
        QCOMPARE(queue.takeDropped(), 3u);
        QCOMPARE(queue.takeDropped(), 0u);
    }

    // A line offered while a push waits for room would overtake it: dropped,
    // although it would fit.
    void offerNeverPassesAWaitingPush() {
        OutputQueue queue(1000);
        QVERIFY(queue.push(QByteArray(499, 'a') + '\n'));
        std::thread pusher([&] { queue.push(QByteArray(599, 'p') + '\n'); });
        int queued = 0; // offers that came before the push began to wait
        QVERIFY(QTest::qWaitFor([&] { return !(queue.offer("y\n") && ++queued); }, 10000));
        QVERIFY2(500 + 2 * (queued + 1) <= 1000, "dropped for want of room, not for the push");
        QCOMPARE(queue.takeDropped(), 0u);
        QByteArray before; // what the waiting push must come after
        QVERIFY(queue.peek(before, 100000));
        QCOMPARE(before.size(), 500 + 2 * queued);
        queue.consumed(before.size());
        pusher.join();
        QCOMPARE(drain(queue, 100).size(), 600);
        QCOMPARE(queue.takeDropped(), 1u);
    }

    void pushWaitsForRoom() {
        OutputQueue queue(10);
        QVERIFY(queue.push("123456789\n"));
        std::atomic<bool> pushed{false};
        Waiter waiter;
        std::thread pusher([&] {
            waiter.here();
            queue.push("abc\n");
            pushed = true;
        });
        QVERIFY(waiter.waitsOr(pushed));
        QVERIFY(!pushed);
        QByteArray bytes;
        QVERIFY(queue.peek(bytes, 4));
        queue.consumed(4);
        QTRY_VERIFY(pushed.load());
        pusher.join();
        QCOMPARE(drain(queue, 100), QByteArray("56789\nabc\n"));
    }

    // An entry larger than the whole queue goes in once the queue is empty.
    void entryLargerThanTheQueue() {
        OutputQueue queue(8);
        QVERIFY(queue.push(QByteArray(100, 'x')));
        QVERIFY(!queue.offer("y\n"));
        QCOMPARE(drain(queue, 33).size(), 100);
    }

    // Once the reader is gone nothing is kept and nobody waits.
    void closeReleasesEveryone() {
        OutputQueue queue(10);
        QVERIFY(queue.push("123456789\n"));
        std::atomic<int> result{-1};
        std::atomic<bool> returned{false};
        Waiter waiter;
        std::thread pusher([&] {
            waiter.here();
            result = queue.push("more\n") ? 1 : 0;
            returned = true;
        });
        QVERIFY(waiter.waitsOr(returned));
        QVERIFY(!returned);
        queue.close();
        pusher.join();
        QCOMPARE(result.load(), 0);
        QVERIFY(!queue.push("x\n"));
        QVERIFY(!queue.offer("x\n"));
        QByteArray bytes;
        QVERIFY(!queue.peek(bytes, 10));
        QVERIFY(queue.waitEmpty(0));
        QCOMPARE(queue.takeDropped(), 0u); // closed: not counted as dropped
    }

    // The writer tells how its reader went away, idle and with nothing
    // queued: a pipe's read end closed is a broken pipe, a socket closed by
    // its peer a hang-up.
    void readerGone_data() {
        QTest::addColumn<bool>("socket");
        QTest::addColumn<int>("error");
        QTest::newRow("pipe") << false << EPIPE;
        QTest::newRow("socket") << true << OutputWriter::hangUp;
    }

    void readerGone() {
        QFETCH(bool, socket);
        QFETCH(int, error);
        int fds[2];
        QVERIFY(socket ? socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0 : pipe(fds) == 0);
        const int readEnd = socket ? fds[1] : fds[0], writeEnd = socket ? fds[0] : fds[1];
        goneError = 0;
        OutputQueue queue;
        OutputWriter writer(queue, writeEnd, noteGone);
        writer.start();
        close(readEnd);
        QTRY_COMPARE(goneError.load(), error);
        QVERIFY(queue.isClosed());
        close(writeEnd);
    }

    void waitEmpty() {
        OutputQueue queue;
        QVERIFY(queue.waitEmpty(0));
        queue.push("line\n");
        QVERIFY(!queue.waitEmpty(10));
        std::thread writer([&] { drain(queue, 2); });
        QVERIFY(queue.waitEmpty(10000));
        writer.join();
    }
};

QTEST_GUILESS_MAIN(TestOutputQueue)
#include "tst_outputqueue.moc"
