// The relay driver's start-up, run for real on the simulated board: banner,
// pauses, device identifier, first board calls and outputs left out because
// of a bad configuration. Each start costs over two seconds of banner, so the
// four runs go side by side and every check looks at all of them.
#include "programrun.h"
#include "relayprotocol.h"

#include <QRegularExpression>
#include <QtTest>
#include <memory>

using namespace testkit;

namespace {

QByteArray config(const char* type0, const char* type1) {
    return QByteArray("{\"Rel\": [{\"PinOutType\": \"") + type0 +
           "\", \"counterCycle\": 30}, {\"PinOutType\": \"" + type1 +
           "\", \"counterCycle\": 30}]}\n";
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
    bool withConfig;
    QByteArray config;
    QStringList netSetup;
    QString id;
    int rest[2];    // resting level of each relay; -1 when the output is left out
    QString why[2]; // what the line on standard error about a left-out output holds
};

const QString confPath = "/etc/qor-driver/relay-conf.json";

const Scenario scenarios[] = {
    {"pulse outputs, eth00 and xeth0 only",
     true,
     config("ON_DELAY", "OFF_DELAY"),
     veth("eth00") + veth("xeth0"),
     "relayno",
     {0, 1},
     {}},
    {"unknown name for output 1, eth0 after wlan0",
     true,
     config("TOGGLE", "PULSE"),
     veth("wlan0") + veth("eth0", "02:00:00:AB:CD:EF"),
     "relay020000abcdef",
     {0, -1},
     {"", "PULSE"}},
    {"no file, end0 before eth0",
     false,
     QByteArray(),
     veth("end0", "02:00:00:00:00:01") + veth("eth0", "02:00:00:AB:CD:EF"),
     "relay020000000001",
     {-1, -1},
     {confPath, confPath}},
    {"malformed file, eth0 before end0",
     true,
     config("ON_DELAY", "TOGGLE").chopped(3),
     veth("eth0", "02:00:00:AB:CD:EF") + veth("end0", "02:00:00:00:00:01"),
     "relay020000abcdef",
     {-1, -1},
     {confPath, confPath}},
};
const int scenarioCount = sizeof scenarios / sizeof scenarios[0];

// Output lines carry the time the test read them, a little after the driver
// wrote them; pauses are measured with this much allowance for that.
const long long readSlackUs = 50 * 1000;

const int longWaitMs = 60000;

QString relaySetter(int relay) {
    return QString("board_gpio_set_relay_%1").arg(relay);
}

} // namespace

class TestStartup : public QObject {
    Q_OBJECT

    std::unique_ptr<BoardSandbox> board[scenarioCount];
    std::unique_ptr<ProgramRun> run[scenarioCount];

    void start(int i) {
        const Scenario& s = scenarios[i];
        RunOptions o;
        o.program = RELAY_DRIVER;
        o.withConfig = s.withConfig;
        o.config = s.config;
        o.netSetup = s.netSetup;
        board[i].reset(new BoardSandbox);
        run[i].reset(new ProgramRun(*board[i], o));
    }

    static void scenarioRows() {
        QTest::addColumn<int>("index");
        for (int i = 0; i < scenarioCount; ++i) {
            QTest::newRow(scenarios[i].name) << i;
        }
    }

  private slots:
    // The first run is timed, so it starts alone once the others are past
    // their own (costly, under emulation) start and only sleep.
    void initTestCase() {
        for (int i = 1; i < scenarioCount; ++i) {
            start(i);
        }
        for (int i = 1; i < scenarioCount; ++i) {
            QVERIFY2(run[i]->waitForLines(1, longWaitMs), qPrintable(run[i]->errorOutput()));
        }
        start(0);
    }

    void pausesInTheBannerAndBeforeTheBoard() {
        ProgramRun& r = *run[0];
        QVERIFY2(r.waitForLines(10, longWaitMs), qPrintable(r.errorOutput()));
        const QList<OutputLine>& line = r.lines();
        BoardTrace trace = board[0]->waitForTrace("board_lib_init", 1, longWaitMs);
        QVERIFY(!trace.entries().isEmpty());
        qInfo("pauses seen: %lld ms after line 2, %lld ms after line 8, %lld ms before the board",
              (line[2].tUs - line[1].tUs) / 1000, (line[8].tUs - line[7].tUs) / 1000,
              (trace.entries().first().tUs - line[9].tUs) / 1000);
        QVERIFY2(line[2].tUs - line[1].tUs >= 1000 * 1000 - readSlackUs,
                 "no 1 s pause after line 2");
        QVERIFY2(line[8].tUs - line[7].tUs >= 1000 * 1000 - readSlackUs,
                 "no 1 s pause after line 8");
        QVERIFY2(trace.entries().first().tUs - line[9].tUs >= 100 * 1000 - readSlackUs,
                 "no 100 ms pause between the banner and the board");
    }

    void banner_data() { scenarioRows(); }

    void banner() {
        QFETCH(int, index);
        ProgramRun& r = *run[index];
        QVERIFY2(r.waitForLines(10, longWaitMs), qPrintable(r.errorOutput()));
        QCOMPARE(r.texts(), ::banner(scenarios[index].id));
    }

    // The board is brought up, then each usable output rests its relay, then
    // the cycle object reads the keys. A left-out output never touches its
    // relay, not even when it is opened, and the others go on working.
    void boardCallsAndLeftOutOutputs_data() { scenarioRows(); }

    void boardCallsAndLeftOutOutputs() {
        QFETCH(int, index);
        const Scenario& s = scenarios[index];
        ProgramRun& r = *run[index];
        BoardTrace trace = board[index]->waitForTrace("board_gpio_get_key_0", 1, longWaitMs);
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
        QCOMPARE(got, expected);

        r.write("open 1\nopen 0\n");
        int ticks = trace.only("board_gpio_get_key_0").size() + 5;
        trace = board[index]->waitForTrace("board_gpio_get_key_0", ticks, longWaitMs);
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
        QVERIFY(r.running());

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
};

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
