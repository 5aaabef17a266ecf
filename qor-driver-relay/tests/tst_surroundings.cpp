// Both programs started in unfriendly surroundings, for real on the simulated
// board: a configuration that is not a small regular file or names a
// behaviour with control characters, and a standard descriptor closed at the
// start. A relay driver start costs over two seconds of banner, so all runs
// start side by side (see together.h) and each row checks its own.
#include "togethertest.h"
#include "tracetiming.h"

#include <QFile>
#include <QtTest>
#include <csignal>
#include <functional>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using namespace testkit;

namespace {

const QString confPath = "/etc/qor-driver/relay-conf.json";

// What a run has at the configuration path, made before its start.
using Place = std::function<bool(const QString& path)>;
const Place fifo = [](const QString& path) { return mkfifo(qPrintable(path), 0644) == 0; };
const Place linkToZero = [](const QString& path) {
    return symlink("/dev/zero", qPrintable(path)) == 0;
};
const Place folder = [](const QString& path) { return mkdir(qPrintable(path), 0755) == 0; };

// Relay 0 pulses on for a minute, longer than any check looks; relay 1 has the
// given behaviour.
QByteArray config(const QByteArray& type1) {
    return R"({"Rel": [{"PinOutType": "ON_DELAY", "counterCycle": 600}, {"PinOutType": ")" + type1 +
           R"(", "counterCycle": 2}]})"
           "\n";
}

struct Start {
    const char* name;
    const char* program;
    Place place;
    QByteArray config; // copied to the configuration path unless empty
    int closedFd;
    int disabledFrom; // outputs from this one on are left out (2: none)
    QString why;      // what their lines on standard error hold
};

const Start starts[] = {
    {"FIFO", RELAY_DRIVER, fifo, {}, -1, 0, confPath + " is not a regular file but a FIFO"},
    {"link to /dev/zero",
     RELAY_DRIVER,
     linkToZero,
     {},
     -1,
     0,
     confPath + " is not a regular file but a character device"},
    {"directory", RELAY_DRIVER, folder, {}, -1, 0, "but a directory"},
    {"oversized", RELAY_DRIVER, nullptr, config("TOGGLE") + QByteArray(64 * 1024, ' '), -1, 0,
     confPath + " is larger than 65536 bytes"},
    {"control characters in a name", RELAY_DRIVER, nullptr, config(R"(A\u0000B\u001b[2J\r)"), -1, 1,
     R"(unknown "PinOutType" "A\u0000B\u001b[2J\u000d")"},
    {"relay driver without 0", RELAY_DRIVER, nullptr, config("TOGGLE"), 0, 2, {}},
    {"relay driver without 1", RELAY_DRIVER, nullptr, config("TOGGLE"), 1, 2, {}},
    {"relay driver without 2", RELAY_DRIVER, nullptr, config("TOGGLE"), 2, 2, {}},
    {"LED blinker without 0", LED_DRIVER, nullptr, {}, 0, 2, {}},
    {"LED blinker without 1", LED_DRIVER, nullptr, {}, 1, 2, {}},
    {"LED blinker without 2", LED_DRIVER, nullptr, {}, 2, 2, {}},
};
const int startCount = sizeof starts / sizeof starts[0];
const int firstClosedFd = 5; // starts before this one are the configuration cases

const int longWaitMs = 60000;

bool isRelayDriver(const Start& s) {
    return QByteArray(s.program) == RELAY_DRIVER;
}

} // namespace

class TestSurroundings : public TogetherTest {
    Q_OBJECT

  public:
    TestSurroundings() {
        together.plan("configurationPath", [this] { start(0, firstClosedFd); });
        together.plan("closedStandardDescriptor", [this] { start(firstClosedFd, startCount); });
    }

  private:
    void start(int from, int to) {
        for (int i = from; i < to; ++i) {
            const Start& s = starts[i];
            RunOptions o;
            o.program = s.program;
            o.args = isRelayDriver(s) ? QStringList() : QStringList{"255"};
            if (!s.config.isEmpty()) {
                o.config = s.config;
            }
            o.placeConfig = s.place;
            o.closedFd = s.closedFd;
            if (!isRelayDriver(s)) {
                o.env << "QOR_BOARD_DELAY_SCALE=0.01";
            }
            board[i].reset(new BoardSandbox);
            run[i].reset(new ProgramRun(*board[i], o));
        }
    }

    std::unique_ptr<BoardSandbox> board[startCount];
    std::unique_ptr<ProgramRun> run[startCount];
    // For the relay drivers of the closed descriptor cases: when key 0 was
    // pressed and "open 0" sent, and the ticks until then.
    long long pressedAt[startCount] = {};
    int ticksAtPress[startCount] = {};

    static void rows(int from, int to) {
        QTest::addColumn<int>("index");
        for (int i = from; i < to; ++i) {
            QTest::newRow(starts[i].name) << i;
        }
    }

    // What a descriptor of the program points to.
    QString fdTarget(int index, int fd) const {
        return QFile::symLinkTarget(QString("/proc/%1/fd/%2").arg(run[index]->pid()).arg(fd));
    }

    QByteArray why(int index) { return "standard error: " + run[index]->errorOutput(); }

    // Once the relay drivers without a standard descriptor tick, key 0 is
    // pressed and (where standard input is open) "open 0" sent, all at once.
    void pressAndOpen() {
        for (int i = firstClosedFd; i < startCount; ++i) {
            if (!run[i] || !isRelayDriver(starts[i])) {
                continue;
            }
            QVERIFY2(TraceTiming::waitForTicks(*board[i], 0), why(i).constData());
            ticksAtPress[i] = board[i]->trace().only(boardop::key[0]).size();
            pressedAt[i] = monotonicUs();
            QVERIFY(board[i]->setKey(0, true));
            if (starts[i].closedFd != 0) {
                QVERIFY(run[i]->write("open 0\n"));
            }
        }
    }

    // The relay driver works: key 0 is reported (where standard output is
    // open) and "open 0" pulses relay 0 (where standard input is open).
    void checkRelayDriverWorks(int index) {
        const Start& s = starts[index];
        ProgramRun& r = *run[index];
        if (s.closedFd != 0) {
            QVERIFY2(TraceTiming::waitForWrite(*board[index], boardop::relay[0], pressedAt[index]),
                     why(index).constData());
            QCOMPARE(board[index]->trace().only(boardop::relay[0]).last().value, 1);
        }
        if (s.closedFd != 1) {
            QVERIFY2(r.waitForLine("Key_0 state: 1", longWaitMs) >= 0, why(index).constData());
        }
        QVERIFY(TraceTiming::waitForTicks(*board[index], ticksAtPress[index] + 2));
        QCOMPARE(board[index]->trace().only(boardop::key[0]).last().value, 1);
    }

    void checkBlinkerWorks(int index) {
        ProgramRun& r = *run[index];
        QVERIFY(
            !board[index]->waitForTrace(boardop::led, 4, longWaitMs).only(boardop::led).isEmpty());
        r.signal(SIGTERM);
        QCOMPARE(r.waitForExit(longWaitMs), 0);
        QCOMPARE(board[index]->trace().entries().last().op, QString(boardop::led));
        QCOMPARE(board[index]->trace().entries().last().value, 0);
    }

  private:
    void started() override { pressAndOpen(); }

  private slots:
    // The driver starts at once, shows its banner, and leaves out the outputs
    // with one whole line each on standard error naming the reason.
    void configurationPath_data() { rows(0, firstClosedFd); }

    void configurationPath() {
        QFETCH(int, index);
        const Start& s = starts[index];
        ProgramRun& r = *run[index];
        QVERIFY2(TraceTiming::waitForBanner(r) > 0, why(index).constData());
        QVERIFY2(TraceTiming::waitForTicks(*board[index], 1), why(index).constData());
        const QByteArray err = r.errorOutput();
        for (unsigned char c : err) {
            QVERIFY2(c == '\n' || (c >= ' ' && c != 0x7f),
                     err.toPercentEncoding(" \"\\/").constData());
        }
        const QStringList lines = QString::fromUtf8(err).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 2 - s.disabledFrom);
        for (int i = s.disabledFrom; i < 2; ++i) {
            const QString& line = lines[i - s.disabledFrom];
            QVERIFY2(line.startsWith(QString("qor-driver-relay: output %1 ").arg(i)),
                     qPrintable(line));
            QVERIFY2(line.endsWith(s.why), qPrintable(line));
            QVERIFY(board[index]->trace().only(boardop::relay[i]).isEmpty());
        }
    }

    // The closed descriptor is /dev/null once the program runs, so nothing
    // the program writes lands in the trace file (or anywhere else), and the
    // program works.
    void closedStandardDescriptor_data() { rows(firstClosedFd, startCount); }

    void closedStandardDescriptor() {
        QFETCH(int, index);
        const Start& s = starts[index];
        const QString firstCall = isRelayDriver(s) ? boardop::key[0] : boardop::led;
        QVERIFY2(!board[index]->waitForTrace(firstCall, 1, longWaitMs).only(firstCall).isEmpty(),
                 why(index).constData());
        QCOMPARE(fdTarget(index, s.closedFd), QString("/dev/null"));
        if (isRelayDriver(s)) {
            checkRelayDriverWorks(index);
        } else {
            checkBlinkerWorks(index);
        }
        BoardTrace trace = board[index]->trace();
        QVERIFY2(trace.wellFormed(),
                 qPrintable(QString("%1 malformed lines").arg(trace.malformedLines())));
    }
};

QTEST_GUILESS_MAIN(TestSurroundings)
#include "tst_surroundings.moc"
