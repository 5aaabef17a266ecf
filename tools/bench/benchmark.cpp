#include "benchmark.h"

#include "consolethroughput.h"
#include "keychannel.h"
#include "lineflood.h"
#include "probeloop.h"
#include "relayprotocol.h"
#include "relayrun.h"

#include <QFile>
#include <QSysInfo>
#include <csignal>
#include <cstdio>
#include <unistd.h>

using testkit::BoardSandbox;
using testkit::CpuTime;
using testkit::ProcessUsage;
using testkit::ProgramRun;

namespace {

// Toggle outputs change on the first tick after every "open", so a new
// command can follow at once: the latency figures use them.
const QByteArray togglesConfig = R"({"Rel": [
    {"PinOutType": "TOGGLE", "counterCycle": 0},
    {"PinOutType": "TOGGLE", "counterCycle": 0}]})";
// With standard output unread: a toggle for the latency, a pulse for its length.
const QByteArray toggleAndPulseConfig = R"({"Rel": [
    {"PinOutType": "TOGGLE", "counterCycle": 0},
    {"PinOutType": "ON_DELAY", "counterCycle": 5}]})";
const QByteArray pulsesConfig = R"({"Rel": [
    {"PinOutType": "ON_DELAY", "counterCycle": 5},
    {"PinOutType": "ON_DELAY", "counterCycle": 30}]})";
const int startTimeoutMs = 20000;
const int probeLimitMs = 300000;
const double p99TargetMs = 105, maxTargetMs = 110, pulseTargetMs = 10;
const double linesTarget = 1e6;

void progress(const QString& text) {
    fprintf(stderr, "bench: %s\n", qPrintable(text));
}

QString fixed(double v, int decimals = 1) {
    return QString::number(v, 'f', decimals);
}
QString withSign(double v) {
    return (v >= 0 ? "+" : "") + fixed(v);
}
QString grouped(double v) {
    return QString("%L1").arg(static_cast<qlonglong>(v));
}

ReportTable::Verdict verdict(bool met) {
    return met ? ReportTable::MET : ReportTable::MISSED;
}

} // namespace

QString Benchmark::machine() {
    QString cpu = QString::fromUtf8(ProcessUsage::field("/proc/cpuinfo", "model name"));
    QFile load("/proc/loadavg");
    QString loadAvg =
        load.open(QIODevice::ReadOnly) ? QString(load.readAll()).section(' ', 0, 2) : "?";
    return QString("%1, %2 cores, %3 %4, load average %5 at start")
        .arg(cpu.isEmpty() ? QSysInfo::currentCpuArchitecture() : cpu)
        .arg(sysconf(_SC_NPROCESSORS_ONLN))
        .arg(QSysInfo::kernelType(), QSysInfo::kernelVersion(), loadAvg);
}

bool Benchmark::run() {
    bool ok = mainRun();
    ok = pulses() && ok;
    ok = stalledReader() && ok;
    correctnessRows();
    return ok;
}

std::unique_ptr<ProgramRun> Benchmark::launchDriver(const BoardSandbox& board,
                                                    const QByteArray& config) {
    testkit::RunOptions options;
    options.program = o.driver;
    options.config = config;
    return std::make_unique<ProgramRun>(board, options);
}

// The banner takes about 2.2 s; the board and the threads follow it.
bool Benchmark::ready(ProgramRun& driver) {
    if (testkit::relayrun::waitForBanner(driver, startTimeoutMs) < 0) {
        report.row("relay driver start",
                   "no banner within 20 s: " + driver.errorOutput().left(200));
        return false;
    }
    driver.pump(500);
    return true;
}

std::unique_ptr<ProgramRun> Benchmark::startBlinker(const BoardSandbox& board) {
    testkit::RunOptions options;
    options.program = o.blinker;
    options.args = QStringList{"165"};
    return std::make_unique<ProgramRun>(board, options);
}

// Idle figures, latencies with and without the flood, and throughput, all on
// one driver with two toggle outputs.
bool Benchmark::mainRun() {
    BoardSandbox board, eofBoard, ledBoard, ledEofBoard;
    progress("starting two relay drivers and two LED blinkers");
    // A second of each program has its standard input at end of file from
    // the start: reading must then neither spin nor cost anything.
    std::unique_ptr<ProgramRun> blinker = startBlinker(ledBoard);
    std::unique_ptr<ProgramRun> blinkerEof = startBlinker(ledEofBoard);
    blinkerEof->closeInput();
    std::unique_ptr<ProgramRun> driverEof = launchDriver(eofBoard, togglesConfig);
    driverEof->closeInput();
    std::unique_ptr<ProgramRun> driver = launchDriver(board, togglesConfig);
    if (!ready(*driver) || !ready(*driverEof)) {
        return false;
    }
    idle(*driver, {{"relay driver CPU", driver.get(), 0.5, {}},
                   {"relay driver CPU, stdin at its end", driverEof.get(), 0.5, {}},
                   {"LED blinker CPU", blinker.get(), 0.1, {}},
                   {"LED blinker CPU, stdin at its end", blinkerEof.get(), 0.1, {}}});
    // The programs that only took part in the idle window are checked and stopped.
    finishDriver(*driverEof, eofBoard);
    driverEof->signal(SIGKILL);
    finishBlinker(*blinker, ledBoard);
    finishBlinker(*blinkerEof, ledEofBoard);
    bool ok = latency(*driver, board, false);
    ok = latency(*driver, board, true) && ok;
    latencyRows();
    ok = throughput(*driver, board) && ok;
    memoryRow("relay driver memory after flood", driver->pid());
    finishDriver(*driver, board);
    return ok;
}

void Benchmark::finishBlinker(ProgramRun& blinker, const BoardSandbox& board) {
    blinker.signal(SIGTERM);
    blinker.waitForExit(3000);
    check.rejectNewLines(blinker, "qora_led_driver");
    traceMalformed += board.trace().malformedLines();
}

void Benchmark::finishDriver(ProgramRun& driver, const BoardSandbox& board) {
    driver.pump(0);
    check.newLines(driver, "qor-driver-relay");
    traceMalformed += board.trace().malformedLines();
    driverErrorLines += driver.errorOutput().count('\n');
}

void Benchmark::idle(ProgramRun& driver, QList<Idler> idlers) {
    progress(QString("idle for %1 s").arg(o.idleSeconds));
    QHash<qint64, long> sleeps0 = ProcessUsage::sleeps(driver.pid());
    for (Idler& i : idlers) {
        i.before = ProcessUsage::cpu(i.run->pid());
    }
    long long start = testkit::monotonicUs();
    driver.pump(o.idleSeconds * 1000); // sleeps in poll: the benchmark is idle too
    double seconds = static_cast<double>(testkit::monotonicUs() - start) / 1e6;
    findCycleThread(sleeps0, ProcessUsage::sleeps(driver.pid()));
    report.section(QString("Idle for %1 s (CPU: /proc stat; thread run time)").arg(o.idleSeconds));
    for (const Idler& i : idlers) {
        cpuRow(i.name, i.before, ProcessUsage::cpu(i.run->pid()), seconds, i.targetPercent);
    }
    memoryRow("relay driver memory", driver.pid());
    memoryRow("LED blinker memory", idlers[2].run->pid());
}

// While the driver idles only its cycle thread wakes, ten times a second.
void Benchmark::findCycleThread(const QHash<qint64, long>& before,
                                const QHash<qint64, long>& after) {
    long most = 0;
    for (auto it = after.begin(); it != after.end(); ++it) {
        long woke = it.value() - before.value(it.key(), 0);
        if (woke > most) {
            most = woke;
            cycleThread = it.key();
        }
    }
}

void Benchmark::cpuRow(const QString& figure, const CpuTime& before, const CpuTime& after,
                       double seconds, double targetPercent) {
    double stat = ProcessUsage::percent(before.statSeconds, after.statSeconds, seconds);
    double sched = ProcessUsage::percent(before.schedSeconds, after.schedSeconds, seconds);
    report.row(figure, QString("%1 % (%2 %)").arg(fixed(stat, 3), fixed(sched, 3)),
               QString("< %1 %").arg(targetPercent), verdict(stat >= 0 && stat < targetPercent));
}

void Benchmark::memoryRow(const QString& figure, qint64 pid) {
    long rss = ProcessUsage::memoryKb(pid, "VmRSS");
    long peak = ProcessUsage::memoryKb(pid, "VmHWM");
    report.row(
        figure,
        QString("VmRSS %1 MiB (peak %2 MiB)").arg(fixed(rss / 1024.0), fixed(peak / 1024.0)));
}

bool Benchmark::latency(ProgramRun& driver, const BoardSandbox& board, bool flood) {
    progress(QString("latency, %1: %2 relay activations and %2 key flips")
                 .arg(flood ? "standard input flooded" : "no flood")
                 .arg(o.samples));
    std::unique_ptr<LineFlood> flooder;
    if (flood) {
        flooder = std::make_unique<LineFlood>(driver.inputFd(), "pickup\n");
        driver.pump(300); // the pipe is full from here on
    }
    int half = o.samples / 2;
    RelayChannel relay0(0, 0, half), relay1(1, 0, o.samples - half);
    KeyChannel key0(0, board, half), key1(1, board, o.samples - half);
    ProbeLoop loop(driver, board, check);
    loop.add(&relay0);
    loop.add(&relay1);
    loop.add(&key0);
    loop.add(&key1);
    loop.setDialogueEvery(flood ? o.dialogueEveryMs : 0);
    CpuTime before = ProcessUsage::cpu(driver.pid(), cycleThread);
    long long start = testkit::monotonicUs();
    bool finished = loop.run(probeLimitMs);
    Latency& l = measured[flood ? 1 : 0];
    l.waitMs =
        (ProcessUsage::cpu(driver.pid(), cycleThread).waitSeconds - before.waitSeconds) * 1000.0;
    l.seconds = static_cast<double>(testkit::monotonicUs() - start) / 1e6;
    if (flooder) {
        flooder->stop();
        floodRate = static_cast<double>(flooder->linesWritten()) / flooder->seconds();
        driver.pump(500); // what the flood left in the pipe is read
    }
    for (const RelayChannel* r : {&relay0, &relay1}) {
        l.relay.addAll(r->latency());
        l.writeWait.addAll(r->writeWait());
        count(*r);
    }
    for (const KeyChannel* k : {&key0, &key1}) {
        l.key.addAll(k->latency());
        keyLost += k->lost();
        keyUnexpected += k->unexpected();
    }
    l.tick.addAll(loop.tickIntervals());
    dialoguesSent += loop.dialoguesSent();
    dialoguesAnswered += loop.dialoguesAnswered();
    return finished;
}

void Benchmark::count(const RelayChannel& relay) {
    relayLost += relay.lost();
    relayUnexpected += relay.unexpected();
}

void Benchmark::latencyRows() {
    report.section("Command to relay: \"open N\" in the pipe -> change in trace");
    latencyRow("no flood", measured[0].relay);
    latencyRow("flood", measured[1].relay);
    waitForRoomRow("no flood", measured[0].writeWait);
    waitForRoomRow("flood", measured[1].writeWait);
    report.section("Key to report: key file written -> \"Key_N state\" read");
    latencyRow("no flood", measured[0].key);
    latencyRow("flood", measured[1].key);
    report.section("Driver tick interval (key 0 reads in the trace)");
    tickRow("no flood", measured[0].tick);
    tickRow("flood", measured[1].tick);
    waitRow("no flood", measured[0]);
    waitRow("flood", measured[1]);
}

// Time the cycle thread was ready to run but had no CPU: late ticks beside a
// large figure here were held up by the machine, not by the driver.
void Benchmark::waitRow(const QString& figure, const Latency& l) {
    report.row(figure + ": tick thread waiting for CPU",
               QString("%1 ms in %2 s").arg(fixed(l.waitMs)).arg(fixed(l.seconds)));
}

// How long writing "open N" waited for room in the driver's input pipe;
// under the flood that is the kernel's choice of writer, not the driver.
void Benchmark::waitForRoomRow(const QString& figure, const Samples& s) {
    report.row(figure + ": write waited for room",
               QString("%1 / %2 / %3 ms (p50 / p99 / max)")
                   .arg(fixed(s.percentile(50)), fixed(s.percentile(99)), fixed(s.max())));
}

void Benchmark::tickRow(const QString& figure, const Samples& s) {
    report.row(figure + ": min / p50 / p99 / max", QString("%1 / %2 / %3 / %4 ms (n = %5)")
                                                       .arg(fixed(s.min()), fixed(s.percentile(50)),
                                                            fixed(s.percentile(99)), fixed(s.max()))
                                                       .arg(s.count()));
}

void Benchmark::latencyRow(const QString& figure, const Samples& s, int least) {
    bool met = s.count() >= least && s.percentile(99) <= p99TargetMs && s.max() <= maxTargetMs;
    report.row(
        figure + ": p50 / p99 / max",
        QString("%1 / %2 / %3 ms (n = %4)")
            .arg(fixed(s.percentile(50)), fixed(s.percentile(99)), fixed(s.max()))
            .arg(s.count()),
        QString("p99 <= %1, max <= %2 ms, n >= %3").arg(p99TargetMs).arg(maxTargetMs).arg(least),
        verdict(met));
}

bool Benchmark::throughput(ProgramRun& driver, const BoardSandbox& board) {
    progress(QString("console throughput: %L1 lines").arg(o.throughputLines));
    ConsoleThroughput t(board.dir(), o.throughputLines);
    bool ok = t.measure(driver, check);
    throughputRows(t);
    return ok;
}

void Benchmark::throughputRows(const ConsoleThroughput& t) {
    report.section("Console throughput: ignored \"pickup\" lines");
    double rate = t.driverLinesPerSecond();
    report.row(QString("relay driver, %L1 lines via a pipe").arg(t.lines()),
               grouped(rate) + " lines/s", ">= 1,000,000 lines/s", verdict(rate >= linesTarget));
    double catRate = t.catLinesPerSecond();
    report.row("cat of the same file to /dev/null",
               QString("%1 lines/s; driver / cat = %2")
                   .arg(grouped(catRate), catRate > 0 ? fixed(rate / catRate, 3) : "?"));
    report.row("relay driver during the flood", grouped(floodRate) + " lines/s");
}

// A driver with two pulse outputs: 5 ticks on relay 0, 30 ticks on relay 1.
bool Benchmark::pulses() {
    progress(QString("pulse lengths: %1 pulses of 5 ticks, %2 of 30 ticks")
                 .arg(o.shortPulses)
                 .arg(o.longPulses));
    BoardSandbox board;
    std::unique_ptr<ProgramRun> driver = launchDriver(board, pulsesConfig);
    if (!ready(*driver)) {
        return false;
    }
    RelayChannel shortPulse(0, 5, o.shortPulses), longPulse(1, 30, o.longPulses);
    ProbeLoop loop(*driver, board, check);
    loop.add(&shortPulse);
    loop.add(&longPulse);
    bool finished = loop.run(probeLimitMs);
    report.section("Pulse length error: length in trace - N x 100 ms");
    pulseRow("N = 5 ticks", shortPulse.pulseError());
    pulseRow("N = 30 ticks", longPulse.pulseError());
    count(shortPulse);
    count(longPulse);
    finishDriver(*driver, board);
    return finished;
}

// The peer stops reading standard output altogether: relays must keep their
// timing. Then it reads again, and key reports must come as fast as ever.
bool Benchmark::stalledReader() {
    int half = o.samples / 2;
    progress(QString("standard output unread: %1 activations of a toggle, %2 pulses of 5 ticks; "
                     "then %3 key flips")
                 .arg(half)
                 .arg(o.shortPulses)
                 .arg(half));
    BoardSandbox board;
    std::unique_ptr<ProgramRun> driver = launchDriver(board, toggleAndPulseConfig);
    if (!ready(*driver)) {
        return false;
    }
    driver->holdOutput(true);
    // Replies enough to fill the pipe; the rest waits in the driver's queue.
    driver->write("dialplan\n" + QByteArray("1024\n").repeated(20000) + "-1\n-1\n");
    driver->pump(300);
    RelayChannel toggle(0, 0, half), pulse(1, 5, o.shortPulses);
    ProbeLoop stalled(*driver, board, check);
    stalled.add(&toggle);
    stalled.add(&pulse);
    bool finished = stalled.run(probeLimitMs);
    bool stillStalled = driver->outputPending() > 0;
    driver->holdOutput(false);
    finished =
        driver->waitForLine(testkit::protocol::blacklistAsked, startTimeoutMs) >= 0 && finished;
    KeyChannel key0(0, board, half / 2), key1(1, board, half - half / 2);
    ProbeLoop resumed(*driver, board, check);
    resumed.add(&key0);
    resumed.add(&key1);
    finished = resumed.run(probeLimitMs) && finished;

    report.section("Standard output not read at all, then read again");
    report.row("standard output stayed unread throughout", stillStalled ? "yes" : "no", "yes",
               verdict(stillStalled));
    latencyRow("\"open N\" to relay change", toggle.latency(), half * 4 / 5);
    pulseRow("pulse length error, N = 5 ticks", pulse.pulseError());
    Samples keys;
    keys.addAll(key0.latency());
    keys.addAll(key1.latency());
    latencyRow("key to report once read again", keys, half * 4 / 5);
    count(toggle);
    count(pulse);
    for (const KeyChannel* k : {&key0, &key1}) {
        keyLost += k->lost();
        keyUnexpected += k->unexpected();
    }
    finishDriver(*driver, board);
    return finished;
}

void Benchmark::pulseRow(const QString& figure, const Samples& s) {
    bool met = s.count() > 0 && s.min() >= -pulseTargetMs && s.max() <= pulseTargetMs;
    report.row(figure + ": mean / min / max",
               QString("%1 / %2 / %3 ms (n = %4)")
                   .arg(withSign(s.mean()), withSign(s.min()), withSign(s.max()))
                   .arg(s.count()),
               QString("within +-%1 ms").arg(pulseTargetMs), verdict(met));
}

void Benchmark::correctnessRows() {
    report.section("Correctness over the whole run");
    report.row("torn or malformed output lines",
               QString("%1 of %2 lines").arg(check.bad()).arg(check.checked()), "0",
               verdict(check.bad() == 0));
    for (const QString& example : check.examples()) {
        report.row("  e.g.", example);
    }
    report.row("malformed board trace lines", QString::number(traceMalformed), "0",
               verdict(traceMalformed == 0));
    report.row("relay: activations lost / stray changes",
               QString("%1 / %2").arg(relayLost).arg(relayUnexpected), "0 / 0",
               verdict(relayLost == 0 && relayUnexpected == 0));
    report.row("keys: flips unreported / stray reports",
               QString("%1 / %2").arg(keyLost).arg(keyUnexpected), "0 / 0",
               verdict(keyLost == 0 && keyUnexpected == 0));
    report.row("dial-plan exchanges answered in flood",
               QString("%1 of %2").arg(dialoguesAnswered).arg(dialoguesSent), "all",
               verdict(dialoguesAnswered == dialoguesSent));
    report.row("relay driver stderr lines", QString::number(driverErrorLines));
}
