// The real driver on the simulated board when its peer misbehaves: a reader
// that stops reading, and one that goes away. Whatever the peer does, a pulse
// ends on its normal tick and no relay is left active.
#include "relaydriver.h"
#include "relayprotocol.h"
#include "stopcontrol.h"
#include "togethertest.h"

#include <QtTest>
#include <atomic>
#include <csignal>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

using namespace testkit;

namespace {

const int pulseTicks = 3;
QByteArray pulseAndToggle() {
    return RelayDriver::pulseAndToggle("ON_DELAY", pulseTicks);
}
const QString relay0 = boardop::relay[0];
const QString relay1 = boardop::relay[1];
const QString key0 = boardop::key[0];
const int longWaitMs = 60000;

// A dial-plan exchange with `big` room numbers that each get a reply.
QByteArray dialogue(int big) {
    return "dialplan\n" + QByteArray("1024\n").repeated(big) + "-1\n-1\n";
}

QStringList dialogueReplies(int big) {
    QStringList lines = protocol::dialPlanOpened;
    for (int i = 0; i < big; ++i) {
        lines << protocol::bigNumber;
    }
    return lines + protocol::roomsEnded + protocol::blacklistOpened + protocol::roomsEnded;
}

// A pulse of `pulseTicks` on-ticks, then the resting level.
QList<int> onPulse() {
    QList<int> out;
    for (int i = 0; i < pulseTicks; ++i) {
        out << 1;
    }
    return out << 0;
}

QList<TraceEntry> after(const QList<TraceEntry>& entries, long long sinceUs) {
    QList<TraceEntry> out;
    for (const TraceEntry& e : entries) {
        if (e.tUs > sinceUs) {
            out << e;
        }
    }
    return out;
}

struct Driver : RelayDriver {
    // Waits until a tick has read `level` from key 0 after `sinceUs`.
    bool keyRead(int level, long long sinceUs) {
        return QTest::qWaitFor(
            [&] {
                for (const TraceEntry& e : after(board.trace().only(key0), sinceUs)) {
                    if (e.value == level) {
                        return true;
                    }
                }
                return false;
            },
            longWaitMs);
    }

    // Flips key 0 `count` times, each flip seen by a tick.
    bool flipKey(int count) { return flipKeys({this}, count); }

    // The same on several drivers at once.
    static bool flipKeys(const QList<Driver*>& drivers, int count) {
        for (int i = 0; i < count; ++i) {
            long long now = monotonicUs();
            for (Driver* d : drivers) {
                d->board.setKey(0, d->board.trace().only(key0).last().value == 0);
            }
            for (Driver* d : drivers) {
                if (!d->keyRead(d->board.keyPressed(0) ? 1 : 0, now)) {
                    return false;
                }
            }
        }
        return true;
    }

    // The pipe to the test is full: it holds plenty and no longer grows over
    // a tick (a pipe is full when all its pages are in use, which may be well
    // below its size in bytes).
    bool outputPipeFull() {
        return pipeFull([&] { return run->outputPending(); });
    }
    static bool pipeFull(const std::function<int()>& pending) {
        int before = -1;
        long long since = 0;
        return QTest::qWaitFor(
            [&] {
                int now = pending();
                if (now != before) {
                    before = now;
                    since = monotonicUs();
                    return false;
                }
                return now >= 32768 && monotonicUs() - since >= TraceTiming::tickUs;
            },
            longWaitMs);
    }

    // The longest time between two ticks after `sinceUs`.
    long long longestTickGap(long long sinceUs) {
        const QList<TraceEntry> ticks = after(board.trace().only(key0), sinceUs);
        long long gap = 0;
        for (int i = 1; i < ticks.size(); ++i) {
            gap = qMax(gap, ticks[i].tUs - ticks[i - 1].tUs);
        }
        return gap;
    }
};

} // namespace

// Every driver of the test starts at once, as each costs a banner of over
// two seconds (see together.h); the test functions then take theirs.
enum Use { STALLED, STALLED_NON_BLOCKING, FULL, GONE_IDLE, GONE_QUIET, GONE_KEY, USES };
const int stalledUses[] = {STALLED, STALLED_NON_BLOCKING};
const int stallReplies = 8000;  // enough to fill the pipe
const int fullReplies = 100000; // more than the pipe and the queue hold
const int stalledFlips = 3;     // key changes while the readers stall
const int driverCount = USES;

class TestPeerE2e : public TogetherTest {
    Q_OBJECT

  public:
    TestPeerE2e() {
        together.plan("stalledReader", [this] { start({STALLED, STALLED_NON_BLOCKING}); });
        together.plan("fullQueueDropsKeyReports", [this] { start({FULL}); });
        together.plan("readerGone", [this] { start({GONE_IDLE, GONE_QUIET, GONE_KEY}); });
    }

  private:
    std::unique_ptr<Driver> driver[driverCount];

    void start(std::initializer_list<Use> uses) {
        for (Use use : uses) {
            driver[use] = std::make_unique<Driver>();
            driver[use]->start(pulseAndToggle(), use == STALLED_NON_BLOCKING);
        }
    }

    QList<Driver*> started(std::initializer_list<Use> uses) {
        QList<Driver*> out;
        for (Use use : uses) {
            if (driver[use]) {
                out << driver[use].get();
            }
        }
        return out;
    }

    // The stalled readers: when "open 0" was sent, and the CPU time used then.
    long long stallSent[2] = {};
    double stallCpu[2] = {};
    // The full queue: its input is written from a thread of its own, as the
    // driver stops reading it meanwhile.
    std::thread fullFeeder;
    std::atomic<bool> fullFed{false};
    std::atomic<int> fullWritten{0}; // bytes of the input written so far
    QString fullFeedError;
    long fullStartKb = -1, fullKb = -1;

    // The full queue's driver has taken none of its input for a second.
    bool inputStalled() {
        int before = -1;
        long long since = 0;
        return QTest::qWaitFor(
            [&] {
                int now = fullWritten.load();
                if (now != before) {
                    before = now;
                    since = monotonicUs();
                    return false;
                }
                return !fullFed.load() && monotonicUs() - since >= 1000000;
            },
            longWaitMs);
    }

    void fillQueue() {
        Driver& d = *driver[FULL];
        fullStartKb = d.residentKb();
        d.run->holdOutput(true);
        int fd = d.run->inputFd();
        fullFeeder = std::thread([this, fd] {
            const QByteArray input = dialogue(fullReplies) + "open 1\n";
            const int chunk = 4096;
            for (int at = 0; at < input.size() && fullFeedError.isEmpty(); at += chunk) {
                fullFeedError = ProgramRun::writeAll(fd, input.mid(at, chunk));
                fullWritten = at + chunk;
            }
            fullFed = true;
        });
    }

    // The stalled readers and the full queue at once: the readers stop
    // reading and the pipe (and for one, the queue) fills, then "open 0"
    // comes to the stalled ones and key 0 flips on all.
    void stallReaders() {
        for (int use : stalledUses) {
            if (driver[use]) {
                driver[use]->run->holdOutput(true);
                QVERIFY(driver[use]->run->write(dialogue(stallReplies)));
            }
        }
        if (driver[FULL]) {
            fillQueue();
        }
        for (int use : stalledUses) {
            if (Driver* d = driver[use].get()) {
                QVERIFY2(d->outputPipeFull(), "the pipe from the driver did not fill");
                stallCpu[use] = d->cpuSeconds();
                stallSent[use] = monotonicUs();
                QVERIFY(d->run->write("open 0\n"));
            }
        }
        // With the pipe from the driver full and the driver no longer
        // reading its input, the console waits for room in the queue: the
        // queue is full.
        if (Driver* d = driver[FULL].get()) {
            QVERIFY2(d->outputPipeFull() && inputStalled(), d->why().constData());
        }
        QVERIFY(Driver::flipKeys(started({STALLED, STALLED_NON_BLOCKING, FULL}), stalledFlips));
        if (driver[FULL]) {
            fullKb = driver[FULL]->residentKb();
        }
    }

  private:
    void started() override {
        for (auto& d : driver) {
            if (d) {
                QVERIFY2(d->ready(), d->why().constData());
            }
        }
        stallReaders();
    }

  private slots:
    // The reader stops reading while a pulse runs and keys change: the pulse
    // keeps its length, the tick keeps its pace, an "open" is carried out on
    // the next tick, and once the reader reads again every line arrives whole
    // and in order. Someone may have made standard output non-blocking.
    void stalledReader_data() {
        QTest::addColumn<int>("use");
        QTest::newRow("blocking standard output") << int(STALLED);
        QTest::newRow("non-blocking standard output") << int(STALLED_NON_BLOCKING);
    }

    // Stalled and given its input in initTestCase (see stallReaders).
    void stalledReader() {
        QFETCH(int, use);
        Driver& d = *driver[use];
        const int big = stallReplies;
        const double cpuBefore = stallCpu[use];
        const long long sent = stallSent[use];
        QVERIFY(QTest::qWaitFor(
            [&] { return after(d.board.trace().only(relay0), sent).size() > pulseTicks; },
            longWaitMs));
        long long stallUs = monotonicUs() - sent;
        double cpu = d.cpuSeconds() - cpuBefore;
        BoardTrace trace = d.board.trace();
        QList<int> pulse = onPulse();
        QString wrong = TraceTiming::checkWrites(trace, relay0, sent, monotonicUs(), pulse);
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
        long long gap = d.longestTickGap(sent);
        qInfo("stalled %lld ms: ticks at most %lld ms apart, %.3f s of CPU", stallUs / 1000,
              gap / 1000, cpu);
        QVERIFY2(gap <= TraceTiming::tickUs + TraceTiming::slackUs(),
                 qPrintable(QString("ticks %1 ms apart").arg(gap / 1000)));
        QVERIFY2(cpu < 0.5 * stallUs / 1e6, "the driver spins while its reader stalls");

        // Reading again: the replies in order, the key reports those the
        // ticks owe, every line whole.
        d.run->holdOutput(false);
        QVERIFY2(d.run->waitForLines(d.afterBanner + dialogueReplies(big).size() + 3, longWaitMs),
                 d.why().constData());
        // A key line too many would come by the next tick.
        QVERIFY(TraceTiming::waitPastTicks(d.board, 1));
        d.run->pump(0);
        QStringList lines = d.run->texts(d.afterBanner);
        QStringList keys = lines.filter(QRegularExpression("^Key_"));
        for (const QString& k : keys) {
            lines.removeOne(k);
        }
        QCOMPARE(lines, dialogueReplies(big));
        QCOMPARE(keys, TraceTiming::expectedKeyLines(d.board.trace(), 0));
        QVERIFY2(d.run->errorOutput().isEmpty(), d.why().constData());
    }

    // The reader stalls long enough for the queue to fill: the console waits
    // for room, key reports are dropped and counted instead of held, memory
    // stays bounded, and the driver goes on once the reader is back. Filled
    // and given its key changes in initTestCase (see stallReaders).
    void fullQueueDropsKeyReports() {
        Driver& d = *driver[FULL];
        qInfo("resident memory: %ld KiB at start, %ld KiB with the queue full", fullStartKb,
              fullKb);
        // The queue's 1 MiB and the input buffer, and under a sanitizer their
        // shadow; the address sanitizer keeps freed memory besides.
        QVERIFY2(fullKb - fullStartKb < 8192 || ProcessUsage::keepsFreedMemory,
                 "memory grows beyond the queue's bound");
        QVERIFY(d.board.trace().only(relay1).size() == 1); // "open 1" not read yet

        d.run->holdOutput(false);
        QVERIFY2(
            d.run->waitForLines(d.afterBanner + dialogueReplies(fullReplies).size(), longWaitMs),
            d.why().constData());
        QVERIFY2(
            QTest::qWaitFor([&] { return d.board.trace().only(relay1).size() == 2; }, longWaitMs),
            d.why().constData());
        QVERIFY(QTest::qWaitFor([&] { return fullFed.load(); }, longWaitMs));
        QVERIFY2(fullFeedError.isEmpty(), qPrintable(fullFeedError));
        QVERIFY2(d.flipKey(1), d.why().constData());
        QVERIFY(d.run->waitForLine(protocol::keyReport(0, (stalledFlips + 1) % 2), longWaitMs,
                                   d.afterBanner) > 0);
        QCOMPARE(d.run->texts(d.afterBanner).filter("Key_").size(), 1);
        QStringList errors = d.errorLines();
        QCOMPARE(errors.size(), 1);
        QVERIFY2(
            errors.first().contains(QString(" %1 key report line(s) dropped").arg(stalledFlips)),
            qPrintable(errors.first()));
        QVERIFY(d.run->running());
    }

    // The reader closes its end: the driver notices by itself, lets the
    // running pulse end on its normal tick, and exits with its documented
    // status, without spinning meanwhile. The three cases at once.
    void readerGone() {
        struct Case {
            const char* name;
            Use use;
            bool pulse;
            bool keyChange;
            long long sent = 0, closed = 0, exited = 0;
            double cpuFirst = -1, cpuLast = -1;
        };
        Case cases[] = {{"idle", GONE_IDLE, false, false},
                        {"mid-pulse, nothing more to write", GONE_QUIET, true, false},
                        {"mid-pulse, a key report due", GONE_KEY, true, true}};
        for (Case& c : cases) {
            c.sent = monotonicUs();
            if (c.pulse) {
                QVERIFY(driver[c.use]->run->write("open 0\n"));
            }
        }
        for (Case& c : cases) {
            Driver& d = *driver[c.use];
            if (c.pulse) {
                QVERIFY2(TraceTiming::waitForWrite(d.board, relay0, c.sent), d.why().constData());
            }
            d.run->closeOutput();
            if (c.keyChange) {
                QVERIFY(d.board.setKey(0, true));
            }
            c.closed = monotonicUs();
            c.cpuFirst = c.cpuLast = d.cpuSeconds();
        }
        QVERIFY(QTest::qWaitFor([&] { return watchExits(cases); }, longWaitMs));
        for (const Case& c : cases) {
            checkGone(c.name, *driver[c.use], c.pulse, c.sent, c.closed, c.exited,
                      c.cpuLast - c.cpuFirst);
        }
    }

    // However the tests ended, the full queue's reader comes back, so its
    // feeder ends too.
    void cleanupTestCase() {
        if (!fullFeeder.joinable()) {
            return;
        }
        ProgramRun& run = *driver[FULL]->run;
        run.holdOutput(false);
        bool fed = QTest::qWaitFor(
            [&] {
                run.pump(0);
                return fullFed.load() || !run.running();
            },
            longWaitMs);
        if (!fed) {
            qWarning("the full queue's input was not read; its driver is ended");
        }
        run.signal(SIGKILL);
        fullFeeder.join();
    }

  private:
    // Notes the CPU time of the runs still going and when each ended; true
    // once all have.
    template <typename Case, int N> bool watchExits(Case (&cases)[N]) {
        bool all = true;
        for (Case& c : cases) {
            Driver& d = *driver[c.use];
            if (c.exited) {
                continue;
            }
            double cpu = d.cpuSeconds();
            c.cpuLast = cpu >= 0 ? cpu : c.cpuLast;
            d.run->pump(0);
            if (d.run->running()) {
                all = false;
            } else {
                c.exited = monotonicUs();
            }
        }
        return all;
    }

    void checkGone(const QString& name, Driver& d, bool pulse, long long sent, long long closed,
                   long long exited, double cpu) {
        int status = d.run->waitForExit(0);
        QVERIFY2(status == StopControl::exitReaderGone,
                 qPrintable(QString("%1: exit status %2, %3")
                                .arg(name)
                                .arg(status)
                                .arg(QString::fromUtf8(d.why()))));
        BoardTrace trace = d.board.trace();
        QList<int> expected = pulse ? onPulse() : QList<int>();
        QString wrong = TraceTiming::checkWrites(trace, relay0, sent, exited, expected);
        QVERIFY2(wrong.isEmpty(), qPrintable(name + ": " + wrong));
        long long lastWork = pulse ? trace.only(relay0).last().tUs : closed;
        qInfo("%s: exited %lld ms after the last relay write or the close; %.3f s of CPU meanwhile",
              qPrintable(name), (exited - lastWork) / 1000, cpu);
        QVERIFY2(exited - lastWork < 2 * TraceTiming::tickUs + TraceTiming::slackUs(),
                 qPrintable(name + ": the driver did not exit promptly"));
        QVERIFY2(cpu < 0.5, qPrintable(name + ": the driver spins while waiting to exit"));
        QStringList errors = d.errorLines();
        QVERIFY2(errors.size() == 1 && errors.first().contains("standard output is gone"),
                 qPrintable(name + ": " + d.why()));
    }
};

QTEST_GUILESS_MAIN(TestPeerE2e)
#include "tst_peer_e2e.moc"
