// The console protocol of the real driver on the simulated board: the
// dial-plan exchange as the intercom program sees it, relay timing from the
// board trace, and the end of standard input. One driver run throughout; the
// test functions run in order on it.
#include "tracetiming.h"

#include <QtTest>
#include <memory>

using namespace testkit;
using namespace testkit::protocol;

namespace {

// Relay 0 pulses on for 8 ticks; relay 1 toggles.
const QByteArray config = R"({"Rel": [{"PinOutType": "ON_DELAY", "counterCycle": 8},
                                      {"PinOutType": "TOGGLE", "counterCycle": 3}]})";

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
    QByteArray input;
    int skipped; // lines too long to read
};
const int limit = 4096;
const Hostile hostile[] = {
    {"UTF-16 byte order mark first",
     "\xFF\xFE"
     "open 1\nopen 1\n",
     0},
    {"UTF-16 big-endian mark first", "\xFE\xFF\nopen 1\n", 0},
    {"UTF-32 mark first", QByteArray("\xFF\xFE\0\0\nopen 1\n", 12), 0},
    {"64 MiB without a line feed, then open 1", QByteArray(64 << 20, 'x') + "\nopen 1\n", 1},
    {"a line at the limit", open1(limit), 0},
    {"a line over the limit, then open 1", open1(limit + 1) + "open 1\n", 1},
};
const int hostileCount = sizeof hostile / sizeof hostile[0];

} // namespace

class TestConsoleE2e : public QObject {
    Q_OBJECT

  private:
    BoardSandbox board;
    std::unique_ptr<ProgramRun> run;
    int afterBanner = -1;
    std::unique_ptr<BoardSandbox> hostileBoard[hostileCount];
    std::unique_ptr<ProgramRun> hostileRun[hostileCount];

    // Pumps output for one tick plus slack and a little more.
    void waitPastTick(int ticks = 1) {
        run->pump(int((ticks * TraceTiming::tickUs + TraceTiming::slackUs()) / 1000) + 200);
    }

    QStringList errorLines() {
        return QString::fromUtf8(run->errorOutput()).split('\n', Qt::SkipEmptyParts);
    }

    QString checkWrites(const QString& op, long long sentUs, const QList<int>& levels) {
        return TraceTiming::checkWrites(board.trace(), op, sentUs, monotonicUs(), levels);
    }

  private slots:
    void initTestCase() {
        RunOptions o;
        o.program = RELAY_DRIVER;
        o.withConfig = true;
        o.config = config;
        for (int i = 0; i < hostileCount; ++i) {
            hostileBoard[i] = std::make_unique<BoardSandbox>();
            hostileRun[i] = std::make_unique<ProgramRun>(*hostileBoard[i], o);
        }
        run = std::make_unique<ProgramRun>(board, o);
        afterBanner = TraceTiming::waitForBanner(*run);
        QVERIFY(afterBanner > 0);
        QVERIFY(TraceTiming::waitForTicks(board, 2));
    }

    void dialPlanExchange() {
        // Bad lines, a big number and commands inside both lists, then
        // commands that answer nothing, then a second exchange with CR LF.
        run->write("dialplan\n5\nabc\nopen 1\n21\n1024\n4294967296\n-1\n"
                   "7\n\ndialplan\n-1\n"
                   "pickup\ndrop\ndial 5\nphonedetect 1\n-1\n2 2\n"
                   "6\r\n1023\r\n-1\r\n-1\r\n");
        const QStringList exchange = dialPlanOpened + roomsEnded + blacklistOpened + roomsEnded;
        const QStringList expected = dialPlanOpened + QStringList{bigNumber} + roomsEnded +
                                     blacklistOpened + roomsEnded + exchange;
        QVERIFY(run->waitForLines(afterBanner + expected.size(), 20000));
        run->pump(300);
        QCOMPARE(run->texts(afterBanner), expected);
        // abc, open 1, 4294967296, the empty line and dialplan.
        QCOMPARE(errorLines(), QStringList({badRoom, badRoom, badRoom, badRoom, badRoom}));
        // Nothing reached a relay but the resting levels at start.
        BoardTrace trace = board.trace();
        QCOMPARE(trace.only("board_gpio_set_relay_0").size(), 1);
        QCOMPARE(trace.only("board_gpio_set_relay_1").size(), 1);
    }

    // A second open during the pulse neither restarts nor lengthens it.
    void onPulse() {
        long long sent = monotonicUs();
        run->write("open 0\n");
        QVERIFY(TraceTiming::waitForWrite(board, "board_gpio_set_relay_0", sent));
        run->write("open 0\n");
        waitPastTick(9);
        QString wrong = checkWrites("board_gpio_set_relay_0", sent, {1, 1, 1, 1, 1, 1, 1, 1, 0});
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
    }

    void toggle() {
        long long sent = monotonicUs();
        run->write("21\n");
        waitPastTick();
        QString wrong = checkWrites("board_gpio_set_relay_1", sent, {1});
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
        sent = monotonicUs();
        run->write("2 1\n");
        waitPastTick();
        wrong = checkWrites("board_gpio_set_relay_1", sent, {0});
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
        QCOMPARE(run->texts(afterBanner).size(), 17); // no replies to open
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
        ProgramRun& r = *hostileRun[index];
        const BoardSandbox& b = *hostileBoard[index];
        QVERIFY2(TraceTiming::waitForBanner(r) > 0, r.errorOutput().constData());
        long startKb = r.residentKb();
        r.write(hostile[index].input);
        const QString relay1 = "board_gpio_set_relay_1";
        QVERIFY2(QTest::qWaitFor([&] { return b.trace().only(relay1).size() == 2; }, 60000),
                 r.errorOutput().constData());
        int ticks = b.trace().only("board_gpio_get_key_0").size();
        QVERIFY(TraceTiming::waitForTicks(b, ticks + 2));
        QCOMPARE(b.trace().only(relay1).last().value, 1);
        QCOMPARE(b.trace().only(relay1).size(), 2); // flipped once
        long endKb = r.residentKb();
        qInfo("resident memory %ld KiB before the input, %ld KiB after", startKb, endKb);
        QVERIFY2(endKb - startKb < 4096, "memory grew with the input");
        QStringList errors = QString::fromUtf8(r.errorOutput()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(errors.size(), hostile[index].skipped);
        QCOMPARE(errors.filter("longer than 4096 bytes").size(), hostile[index].skipped);
        r.pump(0);
        QCOMPARE(r.texts().size(), 10); // the banner, and no reply
    }

    // With its input gone the driver idles, yet still watches the keys.
    void endOfInput() {
        run->closeInput();
        run->pump(300);
        double before = run->cpuSeconds();
        QVERIFY(before >= 0);
        run->pump(2000);
        double used = run->cpuSeconds() - before;
        qInfo("CPU time over 2 s after the end of input: %.3f s", used);
        QVERIFY2(used < 0.5, qPrintable(QString::number(used)));
        board.setKey(0, true);
        QVERIFY(run->waitForLine("Key_0 state: 1", 10000, afterBanner) > 0);
        QVERIFY(run->running());
        QCOMPARE(errorLines().size(), 5); // the diagnostics, nothing since
    }
};

QTEST_GUILESS_MAIN(TestConsoleE2e)
#include "tst_console_e2e.moc"
