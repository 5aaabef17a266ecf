// The LED blinker end to end on the simulated board: what the LED shows is
// read back from the board trace. The runs of the tables start side by side
// in initTestCase and each row checks its own; the stop signals go to runs
// of their own, all at once.
#include "processusage.h"
#include "programrun.h"
#include "togethertest.h"

#include <QRandomGenerator>
#include <QtTest>
#include <climits>
#include <csignal>
#include <cstring>
#include <memory>
#include <vector>

using namespace testkit;

namespace {

const QString led = boardop::led;
const QString delay = boardop::delay;
const int startLines = 4; // lib init, LED init, the first wait, LED off
const long long stepUs = 500000;
const int longWaitMs = 60000;

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

// One blinker on a board of its own; `scale` shortens its steps.
struct Blinker {
    BoardSandbox board;
    std::unique_ptr<ProgramRun> run;

    Blinker(const QStringList& args, double scale) {
        RunOptions o;
        o.program = LED_DRIVER;
        o.args = args;
        if (scale > 0) {
            o.env << QString("QOR_BOARD_DELAY_SCALE=%1").arg(scale);
        }
        run = std::make_unique<ProgramRun>(board, o);
    }

    QList<TraceEntry> shown() const { return steps(board.trace()); }

    bool waitForSteps(int count) {
        bool ended = QTest::qWaitFor(
            [&] {
                run->pump(0);
                return !run->running() || shown().size() >= count;
            },
            longWaitMs);
        return ended && shown().size() >= count;
    }

    // Waits until the blinker has taken everything written to it so far.
    bool inputTaken() {
        return QTest::qWaitFor([&] { return run->inputPending() == 0; }, longWaitMs);
    }

    QByteArray why() { return "blinker's standard error: " + run->errorOutput(); }
};

const int frameCodes[] = {0, 1, 255, 0b10110010};

struct Argument {
    const char* name;
    QStringList args;
    int code;
};
const Argument arguments[] = {
    {"300", {"300"}, 44},
    {"-1", {"-1"}, 255},
    {"space 7x", {" 7x"}, 7},
    {"x", {"x"}, 0},
    {"two", {"5", "6"}, 0},
    {"none", {}, 0},
    {"empty", {""}, 0},
    {"+12", {"+12"}, 12},
    {"tab -0", {"\t-0"}, 0},
    {"1 2 as one", {"1 2"}, 1},
    {"int max", {"2147483647"}, 255},
    {"int min+1", {"-2147483647"}, 1},
    {"past int max", {"2147483648"}, 0},
    {"long", {QString(40, '7')}, 0},
};

// The start code is 170.
struct Input {
    const char* name;
    QByteArray input;
    int code;
};
const Input inputs[] = {
    {"nothing", QByteArray(), 170},
    {"one", "7\n", 7},
    {"last wins", "1\n2 300\n", 44},
    {"no newline", "-1", 255},
    {"white space", "\t 8 \r\n\n\v\f", 8},
    {"plus", "+5\n", 5},
    {"bad after good", "7 abc\n", 7},
    {"bad before good", "abc 9\n", 9},
    {"digits then text", "12abc\n", 12},
    {"text then digits", "abc12\n", 170},
    {"rest of token skipped", "12abc5\n", 12},
    {"lone sign", "- \n+", 170},
    {"two signs", "--5\n", 170},
    {"sign then text", "-x 5\n", 5},
    {"number then signed", "12-3\n", 253},
    {"int max", "2147483647\n", 255},
    {"int min", "-2147483648\n", 0},
    {"past int max skipped", "6 2147483648\n", 6},
    {"past int min skipped", "6 -2147483649\n", 6},
    {"long skipped", "6 " + QByteArray(100, '9') + " x", 6},
    {"binary", QByteArray("\x01\xff\x00 3\n", 6), 3},
};

template <typename T, int N> constexpr int countOf(const T (&)[N]) {
    return N;
}

// A stop signal to one run at a random moment.
struct Stop {
    int signum;
    bool early; // in the unscaled first wait rather than among the steps
    std::unique_ptr<Blinker> blinker;
    long long at = LLONG_MAX; // when to send it, once it is drawn
    bool sent = false;
};

} // namespace

class TestLed : public TogetherTest {
    Q_OBJECT

  public:
    // Every blinker of the functions to run starts at once (see together.h).
    TestLed() {
        together.plan("framesAndSwitchOff", [this] {
            for (int i = 0; i < countOf(frameCodes); ++i) {
                frameRun[i] =
                    std::make_unique<Blinker>(QStringList{QString::number(frameCodes[i])}, 0.01);
            }
        });
        together.plan("argument", [this] {
            for (int i = 0; i < countOf(arguments); ++i) {
                argumentRun[i] = std::make_unique<Blinker>(arguments[i].args, 0.01);
            }
        });
        together.plan("input", [this] { startInputs(); });
        together.plan("newCodeAtNextStep",
                      [this] { newCode = std::make_unique<Blinker>(QStringList{"252"}, 0.04); });
        together.plan("noCpuAfterBadInputAndEnd", [this] {
            // Scaled, as the reader only starts after the first wait.
            idle = std::make_unique<Blinker>(QStringList{"5"}, 0.1);
            QVERIFY(idle->run->write("abc 12x zz - 7 junk\n"));
        });
    }

  private:
    std::unique_ptr<Blinker> frameRun[countOf(frameCodes)];
    std::unique_ptr<Blinker> argumentRun[countOf(arguments)];
    std::unique_ptr<Blinker> inputRun[countOf(inputs)];
    bool inputsEnded = false;
    int inputEnded[countOf(inputs)] = {}; // steps shown when the reader had ended
    std::unique_ptr<Blinker> newCode;
    std::unique_ptr<Blinker> idle;
    double idleCpu = -1; // CPU time used by `idle` when its input had ended
    long long idleSince = 0;

    template <typename T, int N> static void rows(const T (&table)[N]) {
        QTest::addColumn<int>("index");
        for (int i = 0; i < N; ++i) {
            QTest::newRow(table[i].name) << i;
        }
    }

    // Each input is written at once, at the start.
    void startInputs() {
        for (int i = 0; i < countOf(inputs); ++i) {
            inputRun[i] = std::make_unique<Blinker>(QStringList{"170"}, 0.01);
            QVERIFY(inputRun[i]->run->write(inputs[i].input));
        }
    }

    // An input has been read whole when its reader waits for more; then the
    // input ends, and so does the reader.
    void endInputs() {
        for (int i = 0; i < countOf(inputs); ++i) {
            QVERIFY2(inputRun[i]->inputTaken(),
                     qPrintable(QString(inputs[i].name) + ": the input was not read; " +
                                inputRun[i]->why()));
            inputRun[i]->run->closeInput();
            inputEnded[i] = inputRun[i]->shown().size();
        }
        inputsEnded = true;
    }

  private:
    void started() override {
        if (idle) {
            QVERIFY2(idle->inputTaken(), qPrintable("the input was not read; " + idle->why()));
            idle->run->closeInput();
            idleCpu = ProcessUsage::cpuSeconds(idle->run->pid());
            idleSince = monotonicUs();
        }
    }

  private slots:
    // Every run ends at once, rather than one after the other as each is dropped.
    void cleanupTestCase() {
        auto stop = [](std::unique_ptr<Blinker>& b) {
            if (b) {
                b->run->signal(SIGKILL);
            }
        };
        for (auto& b : frameRun) {
            stop(b);
        }
        for (auto& b : argumentRun) {
            stop(b);
        }
        for (auto& b : inputRun) {
            stop(b);
        }
        stop(newCode);
        stop(idle);
    }

    // The signal lands at random moments, sometimes while input is read; or,
    // early, anywhere in the unscaled first wait of 500 ms. All runs at once,
    // while the runs of the other tests go on.
    void signalEndsWithLedOff() {
        const bool emulated = !ProgramRun::emulator().isEmpty();
        const int runs = emulated ? 10 : 15, earlyRuns = 2;
        std::vector<Stop> stops;
        for (int signum : {SIGTERM, SIGINT, SIGHUP}) {
            for (int i = 0; i < runs + earlyRuns; ++i) {
                bool early = i >= runs;
                stops.push_back({signum, early,
                                 std::make_unique<Blinker>(QStringList{"255"}, early ? 0 : 0.01)});
            }
        }
        QVERIFY(QTest::qWaitFor([&] { return sendStops(stops); }, longWaitMs));
        for (Stop& stop : stops) {
            Blinker& b = *stop.blinker;
            QString which = QString("%1, %2: ")
                                .arg(strsignal(stop.signum))
                                .arg(stop.early ? "in the first wait" : "among the steps");
            QVERIFY2(b.run->waitForExit(longWaitMs) == 0, qPrintable(which + b.why()));
            BoardTrace trace = b.board.trace();
            QVERIFY2(trace.wellFormed(), qPrintable(which + "torn trace lines"));
            QVERIFY2(text(trace.entries().last()) == "board_gpio_led 0",
                     qPrintable(which + "ended with " + text(trace.entries().last())));
        }
    }

    void framesAndSwitchOff_data() {
        QTest::addColumn<int>("index");
        for (int i = 0; i < countOf(frameCodes); ++i) {
            QTest::addRow("%d", frameCodes[i]) << i;
        }
    }

    // Start order, frames lowest bit first, the extra switch-off after every
    // 51st delay, and the LED off at SIGTERM.
    void framesAndSwitchOff() {
        QFETCH(int, index);
        Blinker& b = *frameRun[index];
        QVERIFY2(b.waitForSteps(2 * 51 + 8), b.why().constData());
        b.run->signal(SIGTERM);
        QVERIFY2(b.run->waitForExit(longWaitMs) == 0, b.why().constData());
        BoardTrace trace = b.board.trace();
        QVERIFY(trace.wellFormed());
        QStringList got = texts(trace);
        QCOMPARE(got.last(), QString("board_gpio_led 0"));
        got.removeLast(); // the handler's, or the loop's own
        QCOMPARE(got, expectedTrace(frameCodes[index], steps(trace).size() + 1).mid(0, got.size()));
        QVERIFY(b.run->lines().isEmpty());
        QVERIFY2(b.run->errorOutput().isEmpty(), b.why().constData());
    }

    void argument_data() { rows(arguments); }

    void argument() {
        QFETCH(int, index);
        Blinker& b = *argumentRun[index];
        QVERIFY2(b.waitForSteps(8), b.why().constData());
        QCOMPARE(codeShown(b.shown(), 0), arguments[index].code);
    }

    void input_data() { rows(inputs); }

    // Whatever comes, the code keeps its last good value and the blinker
    // carries on after the end of input (the reader has ended, see endInputs).
    void input() {
        QFETCH(int, index);
        if (!inputsEnded) {
            endInputs();
        }
        QVERIFY(inputsEnded);
        Blinker& b = *inputRun[index];
        // The step being shown when the reader had ended may have taken the
        // code just before its last change; the one after it cannot have.
        int from = inputEnded[index] + 1;
        QVERIFY2(b.waitForSteps(from + 8), b.why().constData());
        QCOMPARE(codeShown(b.shown(), from), inputs[index].code);
        QVERIFY(b.run->lines().isEmpty());
    }

    // 3 written while bit 5 of 252 shows: the next step shows bit 6 of 3,
    // then bit 7, then bits 0 and 1 (0, 0, 1, 1), and so on. Every bit
    // differs, so the first step that differs from 252 is the change.
    void newCodeAtNextStep() {
        const int oldCode = 252, newCode = 3;
        const long long shortStepUs = stepUs * 4 / 100;
        Blinker& b = *this->newCode;
        QVERIFY2(b.board.waitUntilTrace(
                     [](const BoardTrace& t) { return steps(t).size() % 8 == 6; }, longWaitMs),
                 b.why().constData());
        long long before = monotonicUs();
        QVERIFY(b.run->write("3\n"));
        long long after = monotonicUs();
        auto landing = [&](const QList<TraceEntry>& s) {
            int k = 0;
            while (k < s.size() && s[k].value == ((oldCode >> (k % 8)) & 1)) {
                ++k;
            }
            return k;
        };
        // Until eight steps of the new code are in, or it is overdue.
        const long long dueUs = after + shortStepUs + ProgramRun::slackUs();
        b.board.waitUntilTrace(
            [&](const BoardTrace& t) {
                QList<TraceEntry> s = steps(t);
                return s.size() >= landing(s) + 9 || (!s.isEmpty() && s.last().tUs > dueUs);
            },
            longWaitMs);
        QList<TraceEntry> s = b.shown();
        int landed = landing(s);
        QVERIFY2(landed < s.size(), "the new code never showed");
        int firstAfterWrite = 0;
        while (firstAfterWrite < s.size() && s[firstAfterWrite].tUs <= after) {
            ++firstAfterWrite;
        }
        qInfo("the new code showed from step %d; the first step after the write was %d", landed,
              firstAfterWrite);
        QVERIFY2(s[landed].tUs > before, "the new code showed before it was written");
        QVERIFY2(s[landed].tUs <= dueUs,
                 qPrintable(QString("the new code showed %1 ms after the write")
                                .arg((s[landed].tUs - after) / 1000)));
        QVERIFY(s.size() >= landed + 8);
        for (int k = landed; k < s.size(); ++k) {
            QCOMPARE(s[k].value, (newCode >> (k % 8)) & 1);
        }
    }

    // Once bad input has ended, nothing spins: the reader is gone (see
    // initTestCase) and the blinker, with steps of 50 ms, idles while the
    // other tests run.
    void noCpuAfterBadInputAndEnd() {
        QVERIFY(idleCpu >= 0);
        QVERIFY(QTest::qWaitFor([&] { return monotonicUs() - idleSince >= 1000000; }, longWaitMs));
        idle->run->pump(0);
        QVERIFY2(idle->run->running(), idle->why().constData());
        double used = ProcessUsage::cpuSeconds(idle->run->pid()) - idleCpu;
        double seconds = (monotonicUs() - idleSince) / 1e6;
        qInfo("CPU used in %.1f s after the end of input: %.2f s", seconds, used);
        QVERIFY2(used < 0.15 * seconds, qPrintable(QString::number(used)));
    }

  private:
    // Draws each run's moment once it is far enough, sends the signals that
    // are due; true once all are sent.
    static bool sendStops(std::vector<Stop>& stops) {
        QRandomGenerator* random = QRandomGenerator::global();
        bool all = true;
        for (Stop& stop : stops) {
            Blinker& b = *stop.blinker;
            long long now = monotonicUs();
            if (stop.at == LLONG_MAX && stop.early && !b.board.trace().entries().isEmpty()) {
                stop.at = now + random->bounded(int(stepUs));
            } else if (stop.at == LLONG_MAX && !stop.early && !b.shown().isEmpty()) {
                if (random->bounded(2)) {
                    b.run->write("254\n255\n");
                }
                stop.at = now + random->bounded(40000);
            }
            if (!stop.sent && now >= stop.at) {
                b.run->signal(stop.signum);
                stop.sent = true;
            }
            all = all && stop.sent;
        }
        return all;
    }
};

QTEST_GUILESS_MAIN(TestLed)
#include "tst_led.moc"
