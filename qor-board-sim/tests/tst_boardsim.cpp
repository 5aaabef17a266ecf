// The simulated board as the programs and the tests rely on it.
#include "processusage.h"
#include "programrun.h"

#include <QElapsedTimer>
#include <QtTest>
#include <cerrno>
#include <cstring>
#include <memory>
#include <sys/stat.h>

using namespace testkit;

namespace {

// What a key file is in the key file cases.
enum KeyFileKind { NoFile, File, Fifo, Directory };

RunOptions probe(const QStringList& calls, const QStringList& env = {}, bool trace = true) {
    RunOptions o;
    o.program = BOARD_PROBE;
    o.args = calls;
    o.env = env;
    o.trace = trace;
    return o;
}

// QOR_BOARD_DELAY_SCALE values; a null text leaves the variable unset.
struct Scale {
    const char* name;
    QString value;
    bool warns;
    bool fast; // the delay is cut short
};
const Scale scales[] = {
    {"0.001", "0.001", false, true},         {"0", "0", false, true},
    {"default", QString(), false, false},    {"1", "1", false, false},
    {"negative", "-0.5", true, false},       {"text", "fast", true, false},
    {"trailing text", "0.01x", true, false}, {"empty", "", true, false},
};
const int scaleCount = sizeof scales / sizeof scales[0];
const int delayMs = 300;

} // namespace

class TestBoardSim : public QObject {
    Q_OBJECT

  private:
    // The delay runs take over a second unscaled, so they start at once.
    std::unique_ptr<BoardSandbox> scaleBoard[scaleCount];
    std::unique_ptr<ProgramRun> scaleRun[scaleCount];

    static void finish(ProgramRun& run) {
        QVERIFY2(run.waitForExit(30000) == 0,
                 qPrintable("board-probe's standard error: " + run.errorOutput()));
    }

  private slots:
    void initTestCase() {
        TESTKIT_SKIP_WITHOUT_NAMESPACES();
        for (int i = 0; i < scaleCount; ++i) {
            QStringList env;
            if (!scales[i].value.isNull()) {
                env << "QOR_BOARD_DELAY_SCALE=" + scales[i].value;
            }
            scaleBoard[i] = std::make_unique<BoardSandbox>();
            // The second delay, of nothing, marks in the trace when the first ended.
            scaleRun[i] = std::make_unique<ProgramRun>(
                *scaleBoard[i], probe({"lib", QString("delay=%1").arg(delayMs), "delay=0"}, env));
        }
    }

    void traceHasOneLinePerCallInOrder() {
        BoardSandbox board;
        board.setKey(1, true);
        ProgramRun run(board, probe({"lib", "gpio", "relay0=1", "relay1=0", "key0", "key1",
                                     "ledinit", "led=1", "delay=7"}));
        finish(run);
        BoardTrace trace = board.trace();
        QVERIFY(trace.wellFormed());
        QStringList got;
        for (const TraceEntry& e : trace.entries()) {
            got << (e.value < 0 ? e.op : QString("%1 %2").arg(e.op).arg(e.value));
        }
        QCOMPARE(got, QStringList({"board_lib_init", "board_gpio_init", "board_gpio_set_relay_0 1",
                                   "board_gpio_set_relay_1 0", "board_gpio_get_key_0 0",
                                   "board_gpio_get_key_1 1", "board_gpio_led_init",
                                   "board_gpio_led 1", "board_delay_ms 7"}));
        long long now = monotonicUs();
        for (int i = 1; i < trace.entries().size(); ++i) {
            QVERIFY(trace.entries()[i - 1].tUs <= trace.entries()[i].tUs);
        }
        QVERIFY(trace.entries().last().tUs <= now);
        QVERIFY(trace.entries().first().tUs > now - 60LL * 1000 * 1000);
        QVERIFY(run.errorOutput().isEmpty());
    }

    void traceLinesStayWholeAcrossThreads() {
        BoardSandbox board;
        ProgramRun run(board, probe({"lib", "gpio", "ledinit", "threads=4:1500"}));
        finish(run);
        BoardTrace trace = board.trace();
        QCOMPARE(trace.malformedLines(), 0);
        QCOMPARE(trace.entries().size(), 3 + 4 * 1500 * 3);
        QCOMPARE(trace.only("board_gpio_led").size(), 4 * 1500);
    }

    // A FIFO or a directory reads as released at once, with one warning per
    // key however often it is read.
    void keyFiles_data() {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("expected");
        QTest::newRow("missing") << int(NoFile) << QByteArray() << 0;
        QTest::newRow("empty") << int(File) << QByteArray() << 0;
        QTest::newRow("0") << int(File) << QByteArray("0") << 0;
        QTest::newRow("1") << int(File) << QByteArray("1") << 1;
        QTest::newRow("1 and newline") << int(File) << QByteArray("1\n") << 1;
        QTest::newRow("10") << int(File) << QByteArray("10") << 1;
        QTest::newRow("space 1") << int(File) << QByteArray(" 1") << 0;
        QTest::newRow("2") << int(File) << QByteArray("2") << 0;
        QTest::newRow("FIFO") << int(Fifo) << QByteArray() << 0;
        QTest::newRow("directory") << int(Directory) << QByteArray() << 0;
    }

    void keyFiles() {
        QFETCH(int, kind);
        QFETCH(QByteArray, content);
        QFETCH(int, expected);
        BoardSandbox board;
        for (int key = 0; key < 2; ++key) {
            QByteArray path = QFile::encodeName(board.keysDir() + QString("/key%1").arg(key));
            if (kind == File) {
                board.setKeyFile(key, content);
            } else if (kind == Fifo) {
                QVERIFY2(mkfifo(path.constData(), 0644) == 0, strerror(errno));
            } else if (kind == Directory) {
                QVERIFY2(mkdir(path.constData(), 0755) == 0, strerror(errno));
            }
        }
        ProgramRun run(board, probe({"lib", "gpio", "key0", "key1", "key0", "key1"}));
        finish(run);
        const QString k0 = QString("key0 %1").arg(expected), k1 = QString("key1 %1").arg(expected);
        QCOMPARE(run.texts(), QStringList({k0, k1, k0, k1}));
        QCOMPARE(board.trace().only("board_gpio_get_key_1").first().value, expected);
        const QStringList warnings =
            QString::fromUtf8(run.errorOutput()).split('\n', Qt::SkipEmptyParts);
        const bool unusable = kind == Fifo || kind == Directory;
        QCOMPARE(warnings.size(), unusable ? 2 : 0);
        for (int key = 0; key < warnings.size(); ++key) {
            QVERIFY2(warnings[key].contains(QString("/key%1 ").arg(key)),
                     qPrintable(warnings[key]));
        }
    }

    void keysReadZeroWithoutKeyFolder() {
        BoardSandbox board;
        board.setKey(0, true);
        RunOptions o = probe({"lib", "gpio", "key0"}, {"QOR_BOARD_KEYS="});
        ProgramRun run(board, o);
        finish(run);
        QCOMPARE(run.texts(), QStringList({"key0 0"}));
    }

    void keyChangesAreSeenAtTheNextCall() {
        BoardSandbox board;
        QVERIFY(board.setKey(0, true));
        // The probe reads, waits for the test, reads; the file changes in between.
        ProgramRun run(board, probe({"lib", "gpio", "key0", "wait", "key0"}));
        QVERIFY2(run.waitForLines(1, 30000), run.errorOutput().constData());
        QVERIFY(board.setKey(0, false));
        QVERIFY(run.write("\n"));
        finish(run);
        QCOMPARE(run.texts(), QStringList({"key0 1", "key0 0"}));
    }

    void delayScale_data() {
        QTest::addColumn<int>("index");
        for (int i = 0; i < scaleCount; ++i) {
            QTest::newRow(scales[i].name) << i;
        }
    }

    // Whether the delay was cut short is read from the trace: the probe's
    // next call comes when the delay has ended, by the probe's own clock.
    void delayScale() {
        QFETCH(int, index);
        const Scale& scale = scales[index];
        ProgramRun& run = *scaleRun[index];
        finish(run);
        QList<TraceEntry> delay = scaleBoard[index]->trace().only("board_delay_ms");
        QCOMPARE(delay.size(), 2);
        QCOMPARE(delay.first().value, delayMs);
        long long sleptUs = delay[1].tUs - delay[0].tUs;
        QVERIFY2(scale.fast ? sleptUs < delayMs * 1000 : sleptUs >= delayMs * 1000,
                 qPrintable(QString("slept %1 ms").arg(sleptUs / 1000)));
        QByteArray err = run.errorOutput();
        QCOMPARE(err.count('\n'), scale.warns ? 1 : 0);
        if (scale.warns) {
            QVERIFY(err.contains("QOR_BOARD_DELAY_SCALE"));
        }
    }

    // A scale that overflows the sleep time makes the delay as long as it can
    // be, not fail at once (which makes a caller's loop spin): the probe is
    // found asleep in its delay and never gets to the next call.
    void overflowingDelayScaleSleeps_data() {
        QTest::addColumn<QString>("scale");
        QTest::newRow("2e10") << "2e10";
        QTest::newRow("1e300") << "1e300";
    }

    void overflowingDelayScaleSleeps() {
        QFETCH(QString, scale);
        BoardSandbox board;
        ProgramRun run(board,
                       probe({"lib", "delay=500", "key0"}, {"QOR_BOARD_DELAY_SCALE=" + scale}));
        QVERIFY2(!board.waitForTrace("board_delay_ms", 1, 30000).only("board_delay_ms").isEmpty(),
                 run.errorOutput().constData());
        QTRY_COMPARE_WITH_TIMEOUT(ProcessUsage::state(run.pid()), 'S', 10000);
        QVERIFY(board.trace().only("board_gpio_get_key_0").isEmpty());
        QVERIFY(run.running());
        QCOMPARE(run.errorOutput(), QByteArray());
    }

    void scaledDelayIsShort() {
        BoardSandbox board;
        QElapsedTimer t;
        t.start();
        ProgramRun run(board, probe({"lib", "delay=60000"}, {"QOR_BOARD_DELAY_SCALE=0.0001"}));
        finish(run);
        QVERIFY(t.elapsed() < 30000); // unscaled it would take a minute
    }

    void levelChangesShown_data() {
        QTest::addColumn<bool>("trace");
        QTest::addColumn<QString>("show");
        QTest::addColumn<bool>("shown");
        QTest::newRow("without trace") << false << QString() << true;
        QTest::newRow("with trace") << true << QString() << false;
        QTest::newRow("with trace, QOR_BOARD_SHOW=1") << true << "1" << true;
        QTest::newRow("with trace, QOR_BOARD_SHOW=yes") << true << "yes" << false;
        QTest::newRow("without trace, QOR_BOARD_SHOW=0") << false << "0" << true;
    }

    void levelChangesShown() {
        QFETCH(bool, trace);
        QFETCH(QString, show);
        QFETCH(bool, shown);
        BoardSandbox board;
        QStringList env;
        if (!show.isNull()) {
            env << "QOR_BOARD_SHOW=" + show;
        }
        ProgramRun run(board, probe({"lib", "gpio", "ledinit", "relay0=1", "relay0=1", "relay1=0",
                                     "relay0=0", "relay1=0", "led=1", "led=1", "led=0"},
                                    env, trace));
        finish(run);
        QCOMPARE(QString::fromUtf8(run.errorOutput()),
                 shown ? QString("board: relay 0 on\nboard: relay 1 off\nboard: relay 0 off\n"
                                 "board: LED on\nboard: LED off\n")
                       : QString());
        QVERIFY(run.texts().isEmpty()); // never on standard output
        QCOMPARE(board.trace().entries().size(), trace ? 11 : 0);
    }

    void callsOutOfOrderWarnButStillWork_data() {
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<QString>("traced");
        QTest::addColumn<int>("warnings");
        QTest::newRow("relay before gpio init")
            << QStringList({"lib", "relay1=1"}) << "board_gpio_set_relay_1" << 1;
        QTest::newRow("key before gpio init")
            << QStringList({"lib", "key0"}) << "board_gpio_get_key_0" << 1;
        QTest::newRow("led before led init")
            << QStringList({"lib", "led=1"}) << "board_gpio_led" << 1;
        QTest::newRow("gpio init before lib init")
            << QStringList({"gpio"}) << "board_gpio_init" << 1;
        QTest::newRow("in order") << QStringList({"lib", "gpio", "relay1=1", "key0"})
                                  << "board_gpio_set_relay_1" << 0;
        QTest::newRow("relay after led init only")
            << QStringList({"lib", "ledinit", "relay0=0"}) << "board_gpio_set_relay_0" << 1;
    }

    void callsOutOfOrderWarnButStillWork() {
        QFETCH(QStringList, calls);
        QFETCH(QString, traced);
        QFETCH(int, warnings);
        BoardSandbox board;
        ProgramRun run(board, probe(calls));
        finish(run);
        QCOMPARE(board.trace().only(traced).size(), 1);
        QByteArray err = run.errorOutput();
        QCOMPARE(err.count('\n'), warnings);
        if (warnings) {
            QVERIFY(err.contains(traced.toLatin1()));
        }
    }
};

QTEST_GUILESS_MAIN(TestBoardSim)
#include "tst_boardsim.moc"
