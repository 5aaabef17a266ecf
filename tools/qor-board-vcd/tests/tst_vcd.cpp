// qor-board-vcd: traces made by the real programs on the simulated board are
// converted and read back by sigrok-cli, so that a reader other than ours
// judges the dump; small traces give exact dumps; bad input is refused.
#include "processusage.h"
#include "programrun.h"
#include "qorversion.h"
#include "relayprotocol.h"
#include "relayrun.h"
#include "together.h"

#include <QProcess>
#include <QStandardPaths>
#include <QtTest>
#include <csignal>
#include <memory>
#include <unistd.h>

using namespace testkit;

namespace {

const QStringList names{"relay_0", "relay_1", "key_0", "key_1", "LED"};
const QStringList ops{boardop::relay[0], boardop::relay[1], boardop::key[0], boardop::key[1],
                      boardop::led};
const long long tickUs = testkit::protocol::tickUs;
// sigrok-cli samples the dump at 1 MHz divided by this, so it sees edges in
// steps of this many microseconds.
const int sigrokStepUs = 10;

// The times (microseconds from time 0) at which each signal changes level.
using Edges = QMap<QString, QList<long long>>;

struct Result {
    int status;
    QByteArray out;
    QByteArray err;
};

Result runConverter(const BoardSandbox& board, const QStringList& args, long* peakKb = nullptr) {
    RunOptions o;
    o.program = BOARD_VCD;
    o.args = args;
    o.trace = false;
    ProgramRun run(board, o);
    int status = run.waitForExit(60000);
    if (peakKb) {
        *peakKb = run.peakResidentKb();
    }
    QByteArray out;
    for (const QString& line : run.texts()) {
        out += line.toUtf8() + '\n';
    }
    return {status, out, run.errorOutput()};
}

// A trace of `lines` LED changes, one every 10 us.
bool writeTrace(const QString& path, int lines) {
    QByteArray trace;
    for (int i = 0; i < lines; ++i) {
        trace += QByteArray::number(1000 + 10LL * i) +
                 (i % 2 ? " board_gpio_led 1\n" : " board_gpio_led 0\n");
    }
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(trace) == trace.size();
}

// Whether a later call at the same time sets the same signal again.
bool setAgainAtOnce(const QList<TraceEntry>& all, int i) {
    for (int j = i + 1; j < all.size() && all[j].tUs == all[i].tUs; ++j) {
        if (all[j].op == all[i].op) {
            return true;
        }
    }
    return false;
}

// The level changes in the trace as a reader sees them that takes an
// undefined level as 0: at each time, the last call of a signal counts.
Edges traceEdges(const BoardTrace& trace) {
    Edges edges;
    QVector<int> level(names.size(), 0);
    const QList<TraceEntry>& all = trace.entries();
    for (int i = 0; i < all.size(); ++i) {
        int s = ops.indexOf(all[i].op);
        int v = all[i].value != 0 ? 1 : 0;
        if (s >= 0 && v != level[s] && !setAgainAtOnce(all, i)) {
            edges[names[s]] << all[i].tUs - all.first().tUs;
            level[s] = v;
        }
    }
    return edges;
}

QString sigrokMissing() {
    if (!ProgramRun::emulator().isEmpty()) {
        return "sigrok-cli is a native program and this build's programs run under " +
               ProgramRun::emulator();
    }
    if (QStandardPaths::findExecutable("sigrok-cli").isEmpty()) {
        return "sigrok-cli is not installed (scripts/deps.sh test installs it)";
    }
    return {};
}

// sigrok-cli reads the dump and writes one CSV row per sample; a channel's
// edges are the rows where its level differs from the row before. Returns
// what went wrong, or an empty text.
QString sigrokEdges(const QString& vcd, Edges& edges) {
    QString csv = vcd + ".csv";
    QProcess p;
    p.start("sigrok-cli", {"-i", vcd, "-I", QString("vcd:downsample=%1").arg(sigrokStepUs), "-O",
                           "csv:header=false:label=channel", "-o", csv});
    bool ran = p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit;
    QByteArray err = p.readAllStandardError();
    if (!ran || p.exitCode() != 0 || !err.isEmpty()) {
        return "sigrok-cli failed on " + vcd + ": " + QString::fromUtf8(err);
    }
    QFile file(csv);
    if (!file.open(QIODevice::ReadOnly)) {
        return "sigrok-cli wrote no " + csv;
    }
    QStringList channels;
    QList<QByteArray> before;
    for (long long sample = 0; !file.atEnd();) {
        QByteArray row = file.readLine().trimmed();
        if (row.isEmpty() || row.startsWith("META") || row.startsWith(';')) {
            continue;
        }
        if (channels.isEmpty()) {
            channels = QString::fromLatin1(row).split(',');
            before = QVector<QByteArray>(channels.size(), "0").toList();
            continue;
        }
        QList<QByteArray> levels = row.split(',');
        for (int c = 0; c < channels.size() && c < levels.size(); ++c) {
            if (levels[c] != before[c]) {
                edges[channels[c]] << sample * sigrokStepUs;
            }
        }
        before = levels;
        ++sample;
    }
    if (!channels.isEmpty() && channels != names) {
        return "sigrok-cli sees the channels " + channels.join(", ");
    }
    return {};
}

QString listed(const QList<long long>& times) {
    QStringList s;
    for (long long t : times) {
        s << QString::number(t);
    }
    return "[" + s.join(' ') + "]";
}

// sigrok-cli's reading of the dump must show each signal's level changes in
// the trace, to its step. It samples up to the dump's end, a microsecond after
// the last line, so a change in the last step falls after its last sample.
// Leaves what it saw in `seen`; returns what differs, or an empty text.
QString sigrokAgrees(const QString& vcd, const BoardTrace& trace, Edges& seen) {
    QString wrong = sigrokEdges(vcd, seen);
    const QList<TraceEntry>& all = trace.entries();
    long long endStep = all.isEmpty() ? 0 : (all.last().tUs - all.first().tUs + 1) / sigrokStepUs;
    const Edges traced = traceEdges(trace);
    for (int s = 0; s < names.size() && wrong.isEmpty(); ++s) {
        QList<long long> a = seen.value(names[s]), b;
        for (long long t : traced.value(names[s])) {
            if (t / sigrokStepUs < endStep) {
                b << t;
            }
        }
        bool same = a.size() == b.size();
        for (int i = 0; same && i < a.size(); ++i) {
            same = qAbs(a[i] - b[i]) <= sigrokStepUs;
        }
        if (!same) {
            wrong = QString("%1: sigrok-cli sees edges at %2 us, the trace has them at %3 us")
                        .arg(names[s], listed(a), listed(b));
        }
    }
    return wrong;
}

// Converts the sandbox's trace to `vcd`; returns what went wrong, or an empty text.
QString convertTrace(const BoardSandbox& board, const QString& vcd) {
    Result r = runConverter(board, {board.tracePath(), "-o", vcd});
    if (r.status != 0 || !r.err.isEmpty()) {
        return QString("qor-board-vcd ended with %1: %2").arg(r.status).arg(QString(r.err));
    }
    return {};
}

QList<int> levelsOf(const BoardSandbox& board, const QString& op) {
    QList<int> levels;
    for (const TraceEntry& e : board.trace().only(op)) {
        levels << e.value;
    }
    return levels;
}

QString header(const QString& comment) {
    QString h = "$version qor-board-vcd " QOR_VERSION " $end\n";
    if (!comment.isEmpty()) {
        h += "$comment " + comment + " $end\n";
    }
    h += "$timescale 1 us $end\n$scope module board $end\n";
    for (int i = 0; i < names.size(); ++i) {
        h += QString("$var wire 1 %1 %2 $end\n").arg(QChar('!' + i)).arg(names[i]);
    }
    return h + "$upscope $end\n$enddefinitions $end\n";
}

QString originComment(long long us) {
    return QString("time 0 is %1 us of the board's monotonic clock, the trace's first line")
        .arg(us);
}

} // namespace

class TestBoardVcd : public QObject {
    Q_OBJECT

  private:
    static constexpr double ledScale = 0.2;
    BoardSandbox driverBoard, ledBoard;
    std::unique_ptr<ProgramRun> driver, blinker;

    // What sigrok-cli sees in the dump of the sandbox's trace, once it has
    // been checked against the trace (readBack set).
    Edges edges;
    bool readBackDone = false;

    void readBack(const BoardSandbox& board) {
        QString vcd = board.dir() + "/run.vcd";
        QString wrong = convertTrace(board, vcd);
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
        QString missing = sigrokMissing();
        if (!missing.isEmpty()) {
            QSKIP(qPrintable(missing));
        }
        wrong = sigrokAgrees(vcd, board.trace(), edges);
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
        readBackDone = true;
    }

    Together together;

  public:
    // Both programs start at once (see together.h): the driver's banner
    // takes over two seconds.
    TestBoardVcd() {
        together.plan("relayRun", [this] {
            RunOptions o;
            o.program = RELAY_DRIVER;
            o.config = R"({"Rel": [{"PinOutType": "ON_DELAY", "counterCycle": 3},
                                   {"PinOutType": "TOGGLE", "counterCycle": 0}]})";
            driver = std::make_unique<ProgramRun>(driverBoard, o);
        });
        together.plan("ledFrame", [this] {
            RunOptions b;
            b.program = LED_DRIVER;
            b.args = QStringList{"45"};
            b.env = QStringList{QString("QOR_BOARD_DELAY_SCALE=%1").arg(ledScale)};
            blinker = std::make_unique<ProgramRun>(ledBoard, b);
        });
    }

  private slots:
    void initTestCase() {
        TESTKIT_SKIP_WITHOUT_NAMESPACES();
        together.startPlanned();
    }

    void init() {
        edges.clear();
        readBackDone = false;
    }

    // The relay driver: "open 0" pulses relay 0 on for 3 ticks, "open 1"
    // toggles relay 1 on the same tick, and key 0 is pressed and released.
    void relayRun() {
        ProgramRun& run = *driver;
        const BoardSandbox& board = driverBoard;
        QVERIFY2(relayrun::waitForBanner(run, 60000) >= 0, run.errorOutput().constData());
        // The key states at start are taken silently: press it once the cycle runs.
        QTRY_VERIFY_WITH_TIMEOUT(levelsOf(board, ops[2]).size() >= 2, 30000);
        run.write("open 0\nopen 1\n");
        board.setKey(0, true);
        QVERIFY2(run.waitForLine("Key_0 state: 1", 30000) >= 0, run.errorOutput().constData());
        board.setKey(0, false);
        QVERIFY2(run.waitForLine("Key_0 state: 0", 30000) >= 0, run.errorOutput().constData());
        QTRY_VERIFY_WITH_TIMEOUT(levelsOf(board, ops[0]).size() >= 5, 30000);
        // One more tick, so that the last change is not the dump's last moment.
        int polls = levelsOf(board, ops[2]).size();
        QTRY_VERIFY_WITH_TIMEOUT(levelsOf(board, ops[2]).size() > polls, 30000);
        driver.reset();
        readBack(board);
        if (!readBackDone) {
            return;
        }
        const QList<long long> pulse = edges["relay_0"];
        QCOMPARE(pulse.size(), 2);
        // The pulse spans 3 ticks of the driver's cycle, one key 0 poll each.
        const Edges traced = traceEdges(board.trace());
        long long t0 = board.trace().entries().first().tUs;
        int ticks = 0;
        for (const TraceEntry& e : board.trace().only(ops[2])) {
            ticks += e.tUs - t0 >= traced["relay_0"][0] && e.tUs - t0 < traced["relay_0"][1];
        }
        QCOMPARE(ticks, 3);
        long long width = pulse[1] - pulse[0];
        QVERIFY2(width >= 25 * tickUs / 10 && width <= 3 * tickUs + ProgramRun::slackUs(),
                 qPrintable(QString("pulse of %1 us").arg(width)));
        // The toggle flips on the tick that starts the pulse (or the next).
        QCOMPARE(edges["relay_1"].size(), 1);
        QVERIFY(qAbs(edges["relay_1"][0] - pulse[0]) <= 3 * tickUs / 2);
        QCOMPARE(edges["key_0"].size(), 2);
        QCOMPARE(edges["key_1"].size(), 0);
        QCOMPARE(edges["LED"].size(), 0);
    }

    // The LED blinker shows 45 (00101101), lowest bit first, at a fifth of
    // the real pace: on 1 bit, off 1, on 2, off 1, on 1, off 2, then the
    // next frame.
    void ledFrame() {
        const long long bitUs = static_cast<long long>(500000 * ledScale);
        const BoardSandbox& board = ledBoard;
        // The switch-off at start, a frame, and the first bit of the next one.
        QTRY_VERIFY_WITH_TIMEOUT(levelsOf(board, ops[4]).size() >= 10, 30000);
        blinker->signal(SIGTERM);
        QCOMPARE(blinker->waitForExit(30000), 0);
        blinker.reset();
        readBack(board);
        if (!readBackDone) {
            return;
        }
        const QList<long long> led = edges["LED"];
        const QList<int> atBit{0, 1, 2, 4, 5, 6, 8};
        QVERIFY2(led.size() >= atBit.size(), qPrintable(listed(led)));
        for (int i = 0; i < atBit.size(); ++i) {
            QVERIFY2(qAbs(led[i] - led[0] - atBit[i] * bitUs) <= bitUs * 2 / 5,
                     qPrintable(QString("edge %1 of %2").arg(i).arg(listed(led))));
        }
        for (const QString& relayOrKey : names.mid(0, 4)) {
            QCOMPARE(edges[relayOrKey].size(), 0);
        }
    }

    void dumps_data() {
        QTest::addColumn<QByteArray>("trace");
        QTest::addColumn<QString>("vcd");
        QTest::newRow("empty") << QByteArray() << header("");
        QTest::newRow("one call") << QByteArray("5 board_gpio_led 1\n")
                                  << header(originComment(5)) +
                                         "#0\n$dumpvars\nx!\nx\"\nx#\nx$\n1%\n$end\n#1\n";
        QTest::newRow("no line feed at the end")
            << QByteArray("7 board_lib_init\n9 board_gpio_get_key_1 0")
            << header(originComment(7)) + "#0\n$dumpvars\nx!\nx\"\nx#\nx$\nx%\n$end\n#2\n0$\n#3\n";
        // Repeated levels add nothing, any non-zero key reading is 1, changes
        // at one time are written together, a change and its undoing at one
        // time cancel, and the dump lasts to just after the last line.
        QTest::newRow("a short run")
            << QByteArray("1000 board_lib_init\n"
                          "1000 board_gpio_init\n"
                          "1010 board_gpio_set_relay_0 0\n"
                          "1010 board_gpio_set_relay_1 0\n"
                          "1020 board_gpio_get_key_0 0\n"
                          "1020 board_gpio_get_key_1 1\n"
                          "1120 board_gpio_set_relay_0 1\n"
                          "1120 board_gpio_set_relay_0 1\n"
                          "1130 board_gpio_get_key_0 0\n"
                          "1220 board_gpio_set_relay_0 0\n"
                          "1230 board_gpio_get_key_0 5\n"
                          "1300 board_gpio_led 1\n"
                          "1300 board_gpio_led 0\n"
                          "1310 board_gpio_set_relay_1 1\n"
                          "1310 board_gpio_set_relay_1 0\n"
                          "1400 board_delay_ms 500\n")
            << header(originComment(1000)) + "#0\n$dumpvars\nx!\nx\"\nx#\nx$\nx%\n$end\n"
                                             "#10\n0!\n0\"\n#20\n0#\n1$\n#120\n1!\n#220\n0!\n"
                                             "#230\n1#\n#300\n0%\n#401\n";
    }

    // The exact dump, in a file and on standard output; sigrok-cli reads it.
    void dumps() {
        QFETCH(QByteArray, trace);
        QFETCH(QString, vcd);
        BoardSandbox board;
        QFile file(board.tracePath());
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(trace) == trace.size());
        file.close();
        QString out = board.dir() + "/out.vcd";
        Result r = runConverter(board, {board.tracePath(), "-o", out});
        QVERIFY2(r.status == 0 && r.err.isEmpty(), r.err.constData());
        QFile written(out);
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(QString(written.readAll()), vcd);
        r = runConverter(board, {board.tracePath()});
        QCOMPARE(r.status, 0);
        QCOMPARE(QString(r.out), vcd);
        QString missing = sigrokMissing();
        if (!missing.isEmpty()) {
            QSKIP(qPrintable(missing));
        }
        QString wrong = sigrokAgrees(out, board.trace(), edges);
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
    }

    // A disk that fills up while the dump is written (a small file system in
    // the converter's mount namespace): an earlier output survives whole and
    // nothing else is left behind.
    void fullDisk() {
        BoardSandbox board;
        QVERIFY(writeTrace(board.tracePath(), 20000));
        RunOptions o;
        o.program = "sh";
        o.native = true;
        o.trace = false;
        o.args = QStringList{"-c",
                             R"(d=$1/small; mkdir -p "$d"
mount -t tmpfs -o size=64k tmpfs "$d" || exit 90
echo an earlier dump >"$d/out.vcd"
${4:+"$4"} "$2" "$3" -o "$d/out.vcd"
echo "status $?"; ls -A "$d"; cat "$d/out.vcd")",
                             "sh",
                             board.dir(),
                             BOARD_VCD,
                             board.tracePath(),
                             ProgramRun::emulator()};
        ProgramRun run(board, o);
        QCOMPARE(run.waitForExit(60000), 0);
        QCOMPARE(run.texts(), QStringList({"status 1", "out.vcd", "an earlier dump"}));
        QVERIFY2(run.errorOutput().contains(": No space left on device"),
                 run.errorOutput().constData());
    }

    // The dump is streamed: the converter's memory does not grow with the
    // trace's length.
    void memoryStaysFlat() {
        if (ProcessUsage::keepsFreedMemory) {
            QSKIP("the address sanitizer keeps freed memory, so resident memory says little");
        }
        BoardSandbox board;
        long peakKb[2];
        const int lines[2] = {20000, 400000}; // about 0.5 and 10 MB
        for (int i = 0; i < 2; ++i) {
            QVERIFY(writeTrace(board.tracePath(), lines[i]));
            Result r = runConverter(board, {board.tracePath(), "-o", board.dir() + "/out.vcd"},
                                    &peakKb[i]);
            QVERIFY2(r.status == 0, r.err.constData());
        }
        qInfo("peak resident memory: %ld KiB for %d lines, %ld KiB for %d lines", peakKb[0],
              lines[0], peakKb[1], lines[1]);
        QVERIFY2(peakKb[1] - peakKb[0] < 4096, "the converter's memory grows with the trace");
    }

    void badInput_data() {
        // In args and message: %TRACE is the trace file, %OUT the output, %DIR a
        // folder. A null trace makes no file.
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("trace");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        const QStringList normal{"%TRACE", "-o", "%OUT"};
        const QByteArray good("1 board_lib_init\n");
        QTest::newRow("missing file")
            << normal << QByteArray() << 1 << "cannot open %TRACE: No such file or directory";
        QTest::newRow("folder") << QStringList{"%DIR", "-o", "%OUT"} << QByteArray() << 1
                                << "cannot read %DIR: Is a directory";
        QTest::newRow("not a trace line") << normal << QByteArray("1 board_lib_init\nhello\n") << 1
                                          << "%TRACE:2: not a board trace line: \"hello\"";
        QTest::newRow("time going backwards")
            << normal
            << QByteArray("100 board_lib_init\n200 board_gpio_init\n150 board_gpio_led 1\n") << 1
            << "%TRACE:3: time 150 us is before the line before (200 us)";
        QTest::newRow("level missing")
            << normal << QByteArray("1 board_gpio_init\n2 board_gpio_set_relay_0\n") << 1
            << "%TRACE:2: board_gpio_set_relay_0 without a level";
        QTest::newRow("empty line")
            << normal << QByteArray("1 board_lib_init\n\n2 board_gpio_init\n") << 1
            << "%TRACE:2: not a board trace line: \"\"";
        QTest::newRow("carriage return") << normal << QByteArray("1 board_lib_init\r\n") << 1
                                         << "%TRACE:1: not a board trace line: "
                                            "\"1 board_lib_init\\x0d\"";
        QTest::newRow("negative time") << normal << QByteArray("-1 board_lib_init\n") << 1
                                       << "%TRACE:1: not a board trace line";
        QTest::newRow("time out of range")
            << normal << QByteArray("9223372036854775808 board_lib_init\n") << 1
            << "%TRACE:1: not a board trace line";
        QTest::newRow("value out of range") << normal << QByteArray("1 board_delay_ms 4294967296\n")
                                            << 1 << "%TRACE:1: not a board trace line";
        QTest::newRow("two values") << normal << QByteArray("1 board_gpio_led 1 1\n") << 1
                                    << "%TRACE:1: not a board trace line";
        QTest::newRow("not a board call")
            << normal << QByteArray("1 gpio_led 1\n") << 1 << "%TRACE:1: not a board trace line";
        QTest::newRow("endless line") << normal << QByteArray(1 << 20, 'a') << 1
                                      << "%TRACE:1: not a board trace line (longer than 256 bytes)";
        QTest::newRow("output not writable")
            << QStringList{"%TRACE", "-o", "%DIR/no/such/folder.vcd"} << good << 1
            << "cannot write %DIR/no/such/folder.vcd: No such file or directory";
        QTest::newRow("no trace") << QStringList{"-o", "%OUT"} << good << 2 << "usage:";
        QTest::newRow("two traces") << QStringList{"%TRACE", "%TRACE"} << good << 2 << "usage:";
        QTest::newRow("unknown option") << QStringList{"-x", "%TRACE"} << good << 2 << "usage:";
    }

    // A clear message on standard error, a non-zero status, and no dump.
    void badInput() {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, trace);
        QFETCH(int, status);
        QFETCH(QString, message);
        BoardSandbox board;
        QString tracePath = board.dir() + "/trace.txt", out = board.dir() + "/out.vcd";
        auto place = [&](QString s) {
            return s.replace("%TRACE", tracePath).replace("%OUT", out).replace("%DIR", board.dir());
        };
        if (!trace.isNull()) {
            QFile file(tracePath);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(trace) == trace.size());
        }
        for (QString& a : args) {
            a = place(a);
        }
        Result r = runConverter(board, args);
        QCOMPARE(r.status, status);
        QString err = QString::fromUtf8(r.err);
        QVERIFY2(err.contains(place(message)), qPrintable(err));
        if (status == 1) {
            QCOMPARE(err.count('\n'), 1);
        }
        QVERIFY(r.out.isEmpty());
        QVERIFY(!QFile::exists(out));
    }
};

QTEST_GUILESS_MAIN(TestBoardVcd)
#include "tst_vcd.moc"
