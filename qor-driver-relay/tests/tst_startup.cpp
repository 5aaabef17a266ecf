// The relay driver's start-up, run for real on the simulated board: banner,
// pauses, device identifier, first board calls, outputs left out because of a
// bad configuration, and the pulse length as the outputs get it. Each start
// costs over two seconds of banner, so the runs go side by side (see
// together.h) and the checks of every scenario look at the same runs.
#include "programrun.h"
#include "relayprotocol.h"
#include "togethertest.h"

#include <QRegularExpression>
#include <QtTest>
#include <memory>
#include <optional>
#include <sched.h>

using namespace testkit;

namespace {

QByteArray config(const char* type0, const char* type1, const char* cycle0 = "30",
                  const char* cycle1 = "30") {
    return QByteArray("{\"Rel\": [{\"PinOutType\": \"") + type0 +
           "\", \"counterCycle\": " + cycle0 + "}, {\"PinOutType\": \"" + type1 +
           "\", \"counterCycle\": " + cycle1 + "}]}\n";
}

QStringList veth(const QString& name, const QString& address = QString()) {
    QStringList lines{QString("ip link add %1 type veth peer name p%1").arg(name)};
    if (!address.isEmpty()) {
        lines << QString("ip link set %1 address %2").arg(name, address);
    }
    return lines;
}

QStringList banner(const QString& id) {
    return protocol::bannerHead + QStringList{"ID: " + id, protocol::ready, ""};
}

struct Scenario {
    const char* name;
    std::optional<QByteArray> config;
    QStringList netSetup;
    QString id;
    int rest[2];    // resting level of each relay; -1 when the output is left out
    QString why[2]; // what the line on standard error about a left-out output holds
};

const QString confPath = "/etc/qor-driver/relay-conf.json";

const Scenario scenarios[] = {
    {"pulse outputs, eth00 and xeth0 only",
     config("ON_DELAY", "OFF_DELAY"),
     veth("eth00") + veth("xeth0"),
     "relayno",
     {0, 1},
     {}},
    {"unknown name for output 1, eth0 after wlan0",
     config("TOGGLE", "PULSE"),
     veth("wlan0") + veth("eth0", "02:00:00:AB:CD:EF"),
     "relay020000abcdef",
     {0, -1},
     {"", "PULSE"}},
    {"no file, end0 before eth0",
     std::nullopt,
     veth("end0", "02:00:00:00:00:01") + veth("eth0", "02:00:00:AB:CD:EF"),
     "relay020000000001",
     {-1, -1},
     {confPath, confPath}},
    {"malformed file, eth0 before end0",
     config("ON_DELAY", "TOGGLE").chopped(3),
     veth("eth0", "02:00:00:AB:CD:EF") + veth("end0", "02:00:00:00:00:01"),
     "relay020000abcdef",
     {-1, -1},
     {confPath, confPath}},
    // The outputs count ticks in 16 bits: 65537 is a pulse of 1 tick, -1 one of 65535.
    {"pulse lengths 65537 and -1, no interfaces",
     config("ON_DELAY", "ON_DELAY", "65537", "-1"),
     {},
     "relayno",
     {0, 0},
     {}},
};
const int scenarioCount = sizeof scenarios / sizeof scenarios[0];
const int narrowed = scenarioCount - 1;

// Output lines carry the time the test read them (at once, see PromptReading),
// a little after the driver's writer thread wrote them; pauses are measured
// with this much allowance for that. Under the emulator the first lines wait
// besides for the writer's code to be translated; by the banner's end it has.
long long readSlackUs() {
    return ProgramRun::slackUs() / 10;
}
const long long warmReadSlackUs = 50 * 1000;

const int longWaitMs = 60000;
// Every run is given "open 1" and "open 0" at its start; this many ticks
// later both have been carried out.
const int ticksAfterOpen = 3;

QString relaySetter(int relay) {
    return boardop::relay[relay];
}

// The levels written by `op`, as "0 1 0".
QString levels(const BoardTrace& trace, const QString& op) {
    QStringList out;
    for (const TraceEntry& e : trace.only(op)) {
        out << QString::number(e.value);
    }
    return out.join(' ');
}

// While it lives, the test reads output at real-time priority, so that a line
// is read when it is written even while other work keeps the CPUs busy.
class PromptReading {
  public:
    PromptReading() {
        sched_param realTime{};
        realTime.sched_priority = 1;
        raised = sched_setscheduler(0, SCHED_FIFO, &realTime) == 0;
        if (!raised) {
            qInfo("cannot read at real-time priority (%s); times may come late", strerror(errno));
        }
    }
    ~PromptReading() {
        sched_param normal{};
        if (raised && sched_setscheduler(0, SCHED_OTHER, &normal) != 0) {
            qWarning("cannot go back to normal priority: %s", strerror(errno));
        }
    }

  private:
    bool raised = false;
};

} // namespace

class TestStartup : public TogetherTest {
    Q_OBJECT

  public:
    // The functions share the scenarios' runs.
    TestStartup() {
        for (const char* f : {"banner", "boardCallsAndLeftOutOutputs"}) {
            together.plan(f, [this] {
                startScenarios(1, scenarioCount);
                startTimed();
            });
        }
        together.plan("pulseLengthTakesTheLow16Bits",
                      [this] { startScenarios(narrowed, narrowed + 1); });
        together.plan("pausesInTheBannerAndBeforeTheBoard", [this] { startTimed(); });
    }

  private:
    std::unique_ptr<BoardSandbox> board[scenarioCount];
    std::unique_ptr<ProgramRun> run[scenarioCount];
    bool opened[scenarioCount] = {};

    void startScenarios(int from, int to) {
        for (int i = from; i < to; ++i) {
            if (!run[i]) {
                start(i);
            }
        }
    }

    // The first run is timed, so it starts alone once the others are past
    // their own (costly, under emulation) start and only sleep.
    void startTimed() {
        if (run[0]) {
            return;
        }
        for (int i = 1; i < scenarioCount; ++i) {
            if (run[i]) {
                QVERIFY2(opened[i], why(i).constData());
                QVERIFY2(run[i]->waitStarted(longWaitMs), why(i).constData());
                QVERIFY2(run[i]->waitForLines(1, longWaitMs), why(i).constData());
            }
        }
        start(0);
    }

    void start(int i) {
        const Scenario& s = scenarios[i];
        RunOptions o;
        o.program = RELAY_DRIVER;
        o.config = s.config;
        o.setup = s.netSetup;
        board[i].reset(new BoardSandbox);
        run[i].reset(new ProgramRun(*board[i], o));
        // Read once the cycle runs (see boardCallsAndLeftOutOutputs).
        opened[i] = run[i]->write("open 1\nopen 0\n");
    }

    QByteArray why(int i) { return "driver's standard error: " + run[i]->errorOutput(); }

    // The trace once the cycle has run `ticksAfterOpen` ticks.
    BoardTrace afterOpen(int i) {
        // The first reading of key 0 is taken before the cycle starts.
        return board[i]->waitForTrace(boardop::key[0], ticksAfterOpen + 1, longWaitMs);
    }

    static void scenarioRows() {
        QTest::addColumn<int>("index");
        for (int i = 0; i < scenarioCount; ++i) {
            QTest::newRow(scenarios[i].name) << i;
        }
    }

  private slots:
    // The first scenario's run, timed against the clock.
    void pausesInTheBannerAndBeforeTheBoard() {
        QVERIFY2(opened[0], why(0).constData());
        ProgramRun& r = *run[0];
        {
            PromptReading prompt;
            QVERIFY2(r.waitForLines(10, longWaitMs), why(0).constData());
        }
        const QList<OutputLine>& line = r.lines();
        BoardTrace trace = board[0]->waitForTrace(boardop::libInit, 1, longWaitMs);
        QVERIFY2(!trace.entries().isEmpty(), why(0).constData());
        qInfo("pauses seen: %lld ms after line 2, %lld ms after line 8, %lld ms before the board",
              (line[2].tUs - line[1].tUs) / 1000, (line[8].tUs - line[7].tUs) / 1000,
              (trace.entries().first().tUs - line[9].tUs) / 1000);
        QVERIFY2(line[2].tUs - line[1].tUs >= 1000 * 1000 - readSlackUs(),
                 "no 1 s pause after line 2");
        QVERIFY2(line[8].tUs - line[7].tUs >= 1000 * 1000 - readSlackUs(),
                 "no 1 s pause after line 8");
        QVERIFY2(trace.entries().first().tUs - line[9].tUs >= 100 * 1000 - warmReadSlackUs,
                 "no 100 ms pause between the banner and the board");
    }

    void banner_data() { scenarioRows(); }

    void banner() {
        QFETCH(int, index);
        ProgramRun& r = *run[index];
        QVERIFY2(r.waitForLines(10, longWaitMs), why(index).constData());
        QCOMPARE(r.texts(), ::banner(scenarios[index].id));
    }

    // The board is brought up, then each usable output rests its relay, then
    // the cycle object reads the keys. A left-out output never touches its
    // relay, not even when it is opened (as every run is at its start), and
    // the others go on working.
    void boardCallsAndLeftOutOutputs_data() { scenarioRows(); }

    void boardCallsAndLeftOutOutputs() {
        QFETCH(int, index);
        const Scenario& s = scenarios[index];
        ProgramRun& r = *run[index];
        BoardTrace trace = afterOpen(index);
        QStringList expected{"board_lib_init", "board_gpio_init"};
        for (int relay = 0; relay < 2; ++relay) {
            if (s.rest[relay] >= 0) {
                expected << QString("%1 %2").arg(relaySetter(relay)).arg(s.rest[relay]);
            }
        }
        expected << "board_gpio_get_key_0 0";
        QStringList got;
        for (const TraceEntry& e : trace.entries().mid(0, expected.size())) {
            got << (e.value < 0 ? e.op : QString("%1 %2").arg(e.op).arg(e.value));
        }
        QVERIFY2(got == expected, qPrintable(got.join(", ") + "; " + why(index)));
        QVERIFY(trace.wellFormed());
        for (int relay = 0; relay < 2; ++relay) {
            QList<TraceEntry> writes = trace.only(relaySetter(relay));
            if (s.rest[relay] < 0) {
                QVERIFY2(writes.isEmpty(), qPrintable(relaySetter(relay)));
                continue;
            }
            bool moved = false;
            for (const TraceEntry& e : writes) {
                moved = moved || e.value != s.rest[relay];
            }
            QVERIFY2(moved, qPrintable(relaySetter(relay) + " never left its resting level"));
        }
        QVERIFY2(r.running(), why(index).constData());

        // Standard output is the protocol channel: the banner and nothing else.
        r.pump(0);
        QCOMPARE(r.texts(), ::banner(s.id));
        const QStringList errors =
            QString::fromUtf8(r.errorOutput()).split('\n', Qt::SkipEmptyParts);
        int leftOut = 0;
        for (int relay = 0; relay < 2; ++relay) {
            if (s.rest[relay] >= 0) {
                continue;
            }
            ++leftOut;
            QRegularExpression names(QString("\\boutput %1\\b").arg(relay));
            QStringList lines = errors.filter(names);
            QCOMPARE(lines.size(), 1);
            QVERIFY2(lines.first().contains(s.why[relay]), qPrintable(lines.first()));
        }
        QVERIFY2(errors.size() == leftOut, qPrintable(errors.join('\n')));
    }

    // main hands the configured length to the outputs in 16 bits: 65537
    // opens relay 0 for one tick, -1 relay 1 for 65535, so for all ticks seen.
    void pulseLengthTakesTheLow16Bits() {
        BoardTrace trace = afterOpen(narrowed);
        QString relay0 = levels(trace, relaySetter(0)), relay1 = levels(trace, relaySetter(1));
        QString wrote = QString("relay 0 wrote %1, relay 1 %2; ").arg(relay0, relay1);
        QVERIFY2(relay0 == "0 1 0", qPrintable(wrote + why(narrowed)));
        // Resting, then on at every tick.
        QVERIFY2(relay1.startsWith("0 1") && relay1.count('1') >= ticksAfterOpen - 1 &&
                     relay1.count('0') == 1,
                 qPrintable(wrote + why(narrowed)));
    }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
