// The console protocol of the real driver on the simulated board: the
// dial-plan exchange as the intercom program sees it, relay timing from the
// board trace, and the end of standard input. One driver run for the
// exchange and the relays, whose test functions run in order on it; the
// hostile inputs and the end of input get drivers of their own, all started
// side by side (see together.h).
#include "relaydriver.h"
#include "togethertest.h"

#include <QtTest>
#include <atomic>
#include <csignal>
#include <memory>
#include <thread>

using namespace testkit;
using namespace testkit::protocol;

namespace {

// Relay 0 pulses on for 3 ticks; relay 1 toggles.
const int pulseTicks = 3;
const QByteArray config = R"({"Rel": [{"PinOutType": "ON_DELAY", "counterCycle": 3},
                                      {"PinOutType": "TOGGLE", "counterCycle": 3}]})";
const QString relay0 = boardop::relay[0];
const QString relay1 = boardop::relay[1];
const int longWaitMs = 60000;

// "open 1" padded with spaces to a line of `length` bytes: the extra words are
// ignored, so the line still flips relay 1.
QByteArray open1(int length) {
    return "open 1" + QByteArray(length - 6, ' ') + "\n";
}

// Input that must neither deafen the driver nor grow it; each ends with
// flipping relay 1 once. Each gets a driver of its own, as byte order marks
// only ever mattered as the first bytes.
struct Hostile {
    const char* name;
    QByteArray (*input)(); // made when needed: one is large
    int skipped;           // lines too long to read
};
const int limit = 4096;
const Hostile hostile[] = {
    {"UTF-16 byte order mark first",
     [] {
         return QByteArray("\xFF\xFE"
                           "open 1\nopen 1\n");
     },
     0},
    {"UTF-16 big-endian mark first", [] { return QByteArray("\xFE\xFF\nopen 1\n"); }, 0},
    {"UTF-32 mark first", [] { return QByteArray("\xFF\xFE\0\0\nopen 1\n", 12); }, 0},
    {"64 MiB without a line feed, then open 1",
     [] { return QByteArray(64 << 20, 'x') + "\nopen 1\n"; }, 1},
    {"a line at the limit", [] { return open1(limit); }, 0},
    {"a line over the limit, then open 1", [] { return open1(limit + 1) + "open 1\n"; }, 1},
};
const int hostileCount = sizeof hostile / sizeof hostile[0];

// An exchange whose answer closes what the driver says to the lines before
// it: the console answers in order. Three big numbers in each list make an
// answer that no test's own lines give, so it is not taken for an earlier one.
const QByteArray closing = "dialplan\n1024\n1024\n1024\n-1\n1024\n1024\n1024\n-1\n";
const QStringList closed = dialPlanOpened + QStringList{bigNumber, bigNumber, bigNumber} +
                           roomsEnded + blacklistOpened +
                           QStringList{bigNumber, bigNumber, bigNumber} + roomsEnded;

struct Driver : RelayDriver {
    Driver() { start(config); }

    // Everything said from line `from` on in answer to the lines written so
    // far; empty when they get no answer.
    QStringList answeredSince(int from) {
        run->write(closing);
        QStringList said;
        bool answered = QTest::qWaitFor(
            [&] {
                run->pump(0);
                said = run->texts(from);
                return said.size() >= closed.size() &&
                       said.mid(said.size() - closed.size()) == closed;
            },
            longWaitMs);
        if (!answered) {
            return said << "(no answer to a closing dialplan; " + QString::fromUtf8(why()) + ")";
        }
        return said.mid(0, said.size() - closed.size());
    }
};

} // namespace

class TestConsoleE2e : public TogetherTest {
    Q_OBJECT

  public:
    TestConsoleE2e() {
        for (const char* f : {"dialPlanExchange", "onPulse", "toggle"}) {
            together.plan(f, [this] {
                if (!driver) {
                    driver = std::make_unique<Driver>();
                }
            });
        }
        together.plan("hostileInput", [this] {
            for (int i = 0; i < hostileCount; ++i) {
                hostileRun[i] = std::make_unique<Driver>();
            }
        });
        together.plan("endOfInput", [this] { ended = std::make_unique<Driver>(); });
    }

  private:
    std::unique_ptr<Driver> driver;
    std::unique_ptr<Driver> hostileRun[hostileCount];
    long hostileStartKb[hostileCount] = {};
    // Writes the hostile inputs, as the 64 MiB take a while to be read.
    std::thread feeder;
    QString feedError[hostileCount];
    std::atomic<int> fed{0}; // inputs written, or given up, with their feedError set
    // Its input ends after the banner.
    std::unique_ptr<Driver> ended;
    double endedCpu = -1;
    long long endedSince = 0;

    QString checkWrites(const QString& op, long long sentUs, const QList<int>& levels) {
        return TraceTiming::checkWrites(driver->board.trace(), op, sentUs, monotonicUs(), levels);
    }

    // Waits until `op` has been written `count` times since `sentUs`, and
    // one tick more, so that a write too many would show.
    bool waitForWrites(const QString& op, long long sentUs, int count) {
        return TraceTiming::waitForWrite(driver->board, op, sentUs, count) &&
               TraceTiming::waitPastTicks(driver->board, 1);
    }

    // Memory is taken before the input, which is given at once: the rows
    // then only look.
    void startHostile() {
        int fd[hostileCount];
        for (int i = 0; i < hostileCount; ++i) {
            Driver& d = *hostileRun[i];
            QVERIFY2(d.ready(), d.why().constData());
            hostileStartKb[i] = d.residentKb();
            fd[i] = d.run->inputFd();
        }
        feeder = std::thread([this, fd] {
            for (int i = 0; i < hostileCount; ++i) {
                feedError[i] = ProgramRun::writeAll(fd[i], hostile[i].input());
                fed.fetch_add(1, std::memory_order_release);
            }
        });
    }

  private:
    void started() override {
        if (driver) {
            QVERIFY2(driver->ready(), driver->why().constData());
        }
        if (ended) {
            QVERIFY2(ended->ready(), ended->why().constData());
            ended->run->closeInput();
            endedCpu = ended->cpuSeconds();
            endedSince = monotonicUs();
        }
        if (hostileRun[0]) {
            startHostile();
        }
    }

  private slots:
    void dialPlanExchange() {
        // Bad lines, a big number and commands inside both lists, then
        // commands that answer nothing, then a second exchange with CR LF.
        driver->run->write("dialplan\n5\nabc\nopen 1\n21\n1024\n4294967296\n-1\n"
                           "7\n\ndialplan\n-1\n"
                           "pickup\ndrop\ndial 5\nphonedetect 1\n-1\n2 2\n"
                           "6\r\n1023\r\n-1\r\n-1\r\n");
        const QStringList exchange = dialPlanOpened + roomsEnded + blacklistOpened + roomsEnded;
        const QStringList expected = dialPlanOpened + QStringList{bigNumber} + roomsEnded +
                                     blacklistOpened + roomsEnded + exchange;
        QCOMPARE(driver->answeredSince(driver->afterBanner), expected);
        // abc, open 1, 4294967296, the empty line and dialplan.
        QCOMPARE(driver->errorLines(), QStringList({badRoom, badRoom, badRoom, badRoom, badRoom}));
        // Nothing reached a relay but the resting levels at start.
        BoardTrace trace = driver->board.trace();
        QCOMPARE(trace.only(relay0).size(), 1);
        QCOMPARE(trace.only(relay1).size(), 1);
    }

    // A second open during the pulse neither restarts nor lengthens it.
    void onPulse() {
        long long sent = monotonicUs();
        driver->run->write("open 0\n");
        QVERIFY2(TraceTiming::waitForWrite(driver->board, relay0, sent), driver->why().constData());
        driver->run->write("open 0\n");
        QVERIFY2(waitForWrites(relay0, sent, pulseTicks + 1), driver->why().constData());
        QString wrong = checkWrites(relay0, sent, {1, 1, 1, 0});
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
    }

    // Each form of opening relay 1 flips it once, and gets no answer.
    void toggle() {
        int from = driver->run->lines().size();
        int errorsBefore = driver->errorLines().size();
        long long sent = monotonicUs();
        driver->run->write("21\n");
        QVERIFY2(waitForWrites(relay1, sent, 1), driver->why().constData());
        QString wrong = checkWrites(relay1, sent, {1});
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
        sent = monotonicUs();
        driver->run->write("2 1\n");
        QVERIFY2(waitForWrites(relay1, sent, 1), driver->why().constData());
        wrong = checkWrites(relay1, sent, {0});
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
        QCOMPARE(driver->answeredSince(from), QStringList());
        QCOMPARE(driver->errorLines().size(), errorsBefore);
    }

    // Whatever comes in, later commands still work and memory stays flat.
    void hostileInput_data() {
        QTest::addColumn<int>("index");
        for (int i = 0; i < hostileCount; ++i) {
            QTest::newRow(hostile[i].name) << i;
        }
    }

    void hostileInput() {
        QFETCH(int, index);
        Driver& d = *hostileRun[index];
        const BoardSandbox& b = d.board;
        QVERIFY2(TraceTiming::waitForWrite(b, relay1, 0, 2), d.why().constData());
        QVERIFY(QTest::qWaitFor([&] { return fed.load(std::memory_order_acquire) > index; },
                                longWaitMs));
        QVERIFY2(feedError[index].isEmpty(), qPrintable(feedError[index]));
        // Two ticks after the flip, in case a line were carried out twice.
        const long long flipped = b.trace().only(relay1).last().tUs;
        QVERIFY2(TraceTiming::waitForWrite(b, boardop::key[0], flipped, 2), d.why().constData());
        QCOMPARE(b.trace().only(relay1).last().value, 1);
        QCOMPARE(b.trace().only(relay1).size(), 2); // flipped once
        long endKb = d.residentKb();
        qInfo("resident memory %ld KiB before the input, %ld KiB after", hostileStartKb[index],
              endKb);
        // Under qemu-user the emulator's own translation cache grows while
        // the first ticks run, by a few MiB whatever the input; a driver that
        // kept the input would still grow by tens of MiB.
        const long allowedKb = ProgramRun::emulator().isEmpty() ? 4096 : 16384;
        QVERIFY2(endKb - hostileStartKb[index] < allowedKb, "memory grew with the input");
        QStringList errors = d.errorLines();
        QCOMPARE(errors.size(), hostile[index].skipped);
        QCOMPARE(errors.filter("longer than 4096 bytes").size(), hostile[index].skipped);
        QCOMPARE(d.answeredSince(d.afterBanner), QStringList()); // no reply
    }

    // With its input gone the driver idles, yet still watches the keys. Its
    // input ended in initTestCase; the window is the tests since, and at
    // least a second.
    void endOfInput() {
        QVERIFY(endedCpu >= 0);
        QVERIFY(QTest::qWaitFor([&] { return monotonicUs() - endedSince >= 1000000; }, longWaitMs));
        double used = ended->cpuSeconds() - endedCpu;
        double seconds = (monotonicUs() - endedSince) / 1e6;
        qInfo("CPU time over %.1f s after the end of input: %.3f s", seconds, used);
        QVERIFY2(used < 0.25 * seconds, qPrintable(QString::number(used)));
        QVERIFY(ended->board.setKey(0, true));
        QVERIFY2(ended->run->waitForLine(keyReport(0, true), longWaitMs, ended->afterBanner) > 0,
                 ended->why().constData());
        QVERIFY2(ended->run->running(), ended->why().constData());
        QVERIFY2(ended->errorLines().isEmpty(), ended->why().constData());
    }

    // A driver that stopped reading is ended, so that the feeder ends too.
    void cleanupTestCase() {
        if (!feeder.joinable()) {
            return;
        }
        if (fed.load() < hostileCount) {
            for (auto& d : hostileRun) {
                d->run->signal(SIGKILL);
            }
        }
        feeder.join();
    }
};

QTEST_GUILESS_MAIN(TestConsoleE2e)
#include "tst_console_e2e.moc"
