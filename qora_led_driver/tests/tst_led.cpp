// The LED blinker end to end on the simulated board: what the LED shows is
// read back from the board trace.
#include "programrun.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QThread>
#include <QtTest>
#include <csignal>

using namespace testkit;

namespace {

const QString led = "board_gpio_led";
const QString delay = "board_delay_ms";
const int startLines = 4; // lib init, LED init, the first wait, LED off

QString text(const TraceEntry& e) {
    return e.value < 0 ? e.op : QString("%1 %2").arg(e.op).arg(e.value);
}

QStringList texts(const BoardTrace& trace) {
    QStringList out;
    for (const TraceEntry& e : trace.entries()) {
        out << text(e);
    }
    return out;
}

// What the blinker calls for a code that never changes, up to `steps` steps.
QStringList expectedTrace(int code, int steps) {
    QStringList out{"board_lib_init", "board_gpio_led_init", "board_delay_ms 500",
                    "board_gpio_led 0"};
    for (int k = 0; k < steps; ++k) {
        out << QString("board_gpio_led %1").arg((code >> (k % 8)) & 1) << "board_delay_ms 500";
        if ((k + 1) % 51 == 0) {
            out << "board_gpio_led 0";
        }
    }
    return out;
}

// The LED line of each display step: the one followed by the step's delay
// (the periodic switch-off is followed by the next step's LED line instead).
QList<TraceEntry> steps(const BoardTrace& trace) {
    const QList<TraceEntry>& e = trace.entries();
    QList<TraceEntry> out;
    for (int i = startLines; i + 1 < e.size(); ++i) {
        if (e[i].op == led && e[i + 1].op == delay) {
            out << e[i];
        }
    }
    return out;
}

// The code shown by the eight steps from `first` on; step k shows bit k % 8.
int codeShown(const QList<TraceEntry>& s, int first) {
    int code = 0;
    for (int k = first; k < first + 8 && k < s.size(); ++k) {
        code |= s[k].value << (k % 8);
    }
    return code;
}

bool waitForSteps(const BoardSandbox& board, ProgramRun& run, int count, int timeoutMs = 30000) {
    QElapsedTimer t;
    t.start();
    while (steps(board.trace()).size() < count) {
        if (t.elapsed() > timeoutMs || !run.running()) {
            return false;
        }
        run.pump(2);
    }
    return true;
}

RunOptions blinker(const QStringList& args, double scale) {
    RunOptions o;
    o.program = LED_DRIVER;
    o.args = args;
    if (scale > 0) {
        o.env << QString("QOR_BOARD_DELAY_SCALE=%1").arg(scale);
    }
    return o;
}

} // namespace

class TestLed : public QObject {
    Q_OBJECT

  private slots:
    void framesAndSwitchOff_data() {
        QTest::addColumn<int>("code");
        for (int code : {0, 1, 255, 0b10110010}) {
            QTest::addRow("%d", code) << code;
        }
    }

    // Start order, frames lowest bit first, the extra switch-off after every
    // 51st delay, and the LED off at SIGTERM.
    void framesAndSwitchOff() {
        QFETCH(int, code);
        BoardSandbox board;
        ProgramRun run(board, blinker({QString::number(code)}, 0.01));
        QVERIFY(waitForSteps(board, run, 2 * 51 + 8));
        run.signal(SIGTERM);
        QCOMPARE(run.waitForExit(10000), 0);
        BoardTrace trace = board.trace();
        QVERIFY(trace.wellFormed());
        QStringList got = texts(trace);
        QCOMPARE(got.last(), QString("board_gpio_led 0"));
        got.removeLast(); // the handler's, or the loop's own
        QCOMPARE(got, expectedTrace(code, steps(trace).size() + 1).mid(0, got.size()));
        QVERIFY(run.lines().isEmpty());
        QVERIFY(run.errorOutput().isEmpty());
    }

    void argument_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("code");
        QTest::newRow("300") << QStringList{"300"} << 44;
        QTest::newRow("-1") << QStringList{"-1"} << 255;
        QTest::newRow("space 7x") << QStringList{" 7x"} << 7;
        QTest::newRow("x") << QStringList{"x"} << 0;
        QTest::newRow("two") << QStringList{"5", "6"} << 0;
        QTest::newRow("none") << QStringList{} << 0;
        QTest::newRow("empty") << QStringList{""} << 0;
        QTest::newRow("+12") << QStringList{"+12"} << 12;
        QTest::newRow("tab -0") << QStringList{"\t-0"} << 0;
        QTest::newRow("1 2 as one") << QStringList{"1 2"} << 1;
        QTest::newRow("int max") << QStringList{"2147483647"} << 255;
        QTest::newRow("int min+1") << QStringList{"-2147483647"} << 1;
        QTest::newRow("past int max") << QStringList{"2147483648"} << 0;
        QTest::newRow("long") << QStringList{QString(40, '7')} << 0;
    }

    void argument() {
        QFETCH(QStringList, args);
        QFETCH(int, code);
        BoardSandbox board;
        ProgramRun run(board, blinker(args, 0.01));
        QVERIFY(waitForSteps(board, run, 8));
        QCOMPARE(codeShown(steps(board.trace()), 0), code);
    }

    void input_data() {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("code"); // the start code is 170
        QTest::newRow("nothing") << QByteArray() << 170;
        QTest::newRow("one") << QByteArray("7\n") << 7;
        QTest::newRow("last wins") << QByteArray("1\n2 300\n") << 44;
        QTest::newRow("no newline") << QByteArray("-1") << 255;
        QTest::newRow("white space") << QByteArray("\t 8 \r\n\n\v\f") << 8;
        QTest::newRow("plus") << QByteArray("+5\n") << 5;
        QTest::newRow("bad after good") << QByteArray("7 abc\n") << 7;
        QTest::newRow("bad before good") << QByteArray("abc 9\n") << 9;
        QTest::newRow("digits then text") << QByteArray("12abc\n") << 12;
        QTest::newRow("text then digits") << QByteArray("abc12\n") << 170;
        QTest::newRow("rest of token skipped") << QByteArray("12abc5\n") << 12;
        QTest::newRow("lone sign") << QByteArray("- \n+") << 170;
        QTest::newRow("two signs") << QByteArray("--5\n") << 170;
        QTest::newRow("sign then text") << QByteArray("-x 5\n") << 5;
        QTest::newRow("number then signed") << QByteArray("12-3\n") << 253;
        QTest::newRow("int max") << QByteArray("2147483647\n") << 255;
        QTest::newRow("int min") << QByteArray("-2147483648\n") << 0;
        QTest::newRow("past int max skipped") << QByteArray("6 2147483648\n") << 6;
        QTest::newRow("past int min skipped") << QByteArray("6 -2147483649\n") << 6;
        QTest::newRow("long skipped") << "6 " + QByteArray(100, '9') + " x" << 6;
        QTest::newRow("binary") << QByteArray("\x01\xff\x00 3\n", 6) << 3;
    }

    // Whatever comes, the code keeps its last good value and the blinker
    // carries on after the end of input.
    void input() {
        QFETCH(QByteArray, input);
        QFETCH(int, code);
        BoardSandbox board;
        ProgramRun run(board, blinker({"170"}, 0.01));
        QVERIFY(waitForSteps(board, run, 1));
        run.write(input);
        run.closeInput();
        QThread::msleep(200);
        int from = steps(board.trace()).size();
        QVERIFY(waitForSteps(board, run, from + 8));
        QCOMPARE(codeShown(steps(board.trace()), from), code);
        QVERIFY(run.lines().isEmpty());
    }

    // 3 written while bit 5 of 252 shows: the next step shows bit 6 of 3,
    // then bit 7, then bits 0 and 1 (0, 0, 1, 1), and so on.
    void newCodeAtNextStep() {
        const int oldCode = 252, newCode = 3; // every bit differs
        BoardSandbox board;
        ProgramRun run(board, blinker({QString::number(oldCode)}, 0.2));
        long long before = 0, after = 0;
        for (int n = 1; n < 40 && !before; ++n) {
            QVERIFY(waitForSteps(board, run, n));
            if (steps(board.trace()).size() == n && (n - 1) % 8 == 5) {
                before = monotonicUs();
                run.write("3\n");
                after = monotonicUs();
            }
        }
        QVERIFY(before);
        int writtenAt = steps(board.trace()).size();
        QVERIFY(waitForSteps(board, run, writtenAt + 10));
        QList<TraceEntry> s = steps(board.trace());
        int landed = 0;
        while (landed < s.size() && s[landed].value == ((oldCode >> (landed % 8)) & 1)) {
            ++landed;
        }
        int firstAfterWrite = 0;
        while (firstAfterWrite < s.size() && s[firstAfterWrite].tUs <= after) {
            ++firstAfterWrite;
        }
        QVERIFY(landed < s.size());
        QVERIFY(s[landed].tUs > before);
        // The reader is given one step to wake up; normally it is the next one.
        QVERIFY2(landed <= firstAfterWrite + 1,
                 qPrintable(QString("landed %1, write at %2").arg(landed).arg(firstAfterWrite)));
        for (int k = landed; k < s.size(); ++k) {
            QCOMPARE(s[k].value, (newCode >> (k % 8)) & 1);
        }
    }

    // A spinning reader would burn the whole two seconds.
    void noCpuAfterBadInputAndEnd() {
        BoardSandbox board;
        ProgramRun run(board, blinker({"5"}, 0));
        run.write("abc 12x zz - 7 junk\n");
        run.closeInput();
        QThread::msleep(1500);
        double cpuBefore = run.cpuSeconds();
        QThread::msleep(2000);
        double used = run.cpuSeconds() - cpuBefore;
        QVERIFY(cpuBefore >= 0);
        QVERIFY(run.running());
        qInfo("CPU used in 2 s after the end of input: %.2f s", used);
        QVERIFY2(used < 0.3, qPrintable(QString::number(used)));
    }

    void signalEndsWithLedOff_data() {
        QTest::addColumn<int>("signum");
        QTest::addColumn<bool>("early");
        const std::pair<const char*, int> stops[] = {
            {"SIGTERM", SIGTERM}, {"SIGINT", SIGINT}, {"SIGHUP", SIGHUP}};
        for (const auto& s : stops) {
            QTest::addRow("%s", s.first) << s.second << false;
            QTest::addRow("%s in the first wait", s.first) << s.second << true;
        }
    }

    // The signal lands at random moments, sometimes while input is read; or,
    // early, anywhere in the unscaled first wait of 500 ms.
    void signalEndsWithLedOff() {
        QFETCH(int, signum);
        QFETCH(bool, early);
        const bool emulated = !ProgramRun::emulator().isEmpty();
        const int runs = early ? 2 : emulated ? 10 : 30;
        QRandomGenerator* random = QRandomGenerator::global();
        for (int i = 0; i < runs; ++i) {
            BoardSandbox board;
            ProgramRun run(board, blinker({"255"}, early ? 0 : 0.01));
            if (early) {
                QVERIFY(!board.waitForTrace("board_lib_init", 1, 30000).entries().isEmpty());
                QThread::usleep(random->bounded(500000));
            } else {
                QVERIFY(waitForSteps(board, run, 1));
                if (random->bounded(2)) {
                    run.write("254\n255\n");
                }
                QThread::usleep(random->bounded(40000));
            }
            run.signal(signum);
            QCOMPARE(run.waitForExit(10000), 0);
            BoardTrace trace = board.trace();
            QVERIFY(trace.wellFormed());
            QCOMPARE(text(trace.entries().last()), QString("board_gpio_led 0"));
        }
    }
};

QTEST_GUILESS_MAIN(TestLed)
#include "tst_led.moc"
