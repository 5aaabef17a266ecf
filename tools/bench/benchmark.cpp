#include "benchmark.h"

#include "consolethroughput.h"
#include "keychannel.h"
#include "lineflood.h"
#include "probeloop.h"
#include "relayprotocol.h"
#include "relayrun.h"

#include <QFile>
#include <QSysInfo>
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

// Each step with the time since the first, so that a slow one shows.
void progress(const QString& text) {
    static const long long startUs = testkit::monotonicUs();
    fprintf(stderr, "bench: %5.1f s %s\n",
            static_cast<double>(testkit::monotonicUs() - startUs) / 1e6, qPrintable(text));
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

// The start of a program's standard error, on one line for the table.
QString why(ProgramRun& run) {
    return QString::fromLocal8Bit(run.errorOutput()).simplified().left(200);
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
    if (!startAll()) {
        return false;
    }
    idle(*driver.run, {{"relay driver CPU", driver.run.get(), 0.5, {}},
                       {"relay driver CPU, stdin at its end", driverEof.run.get(), 0.5, {}},
                       {"LED blinker CPU", blinker.run.get(), 0.1, {}},
                       {"LED blinker CPU, stdin at its end", blinkerEof.run.get(), 0.1, {}}});
    // The programs that only took part in the idle window are stopped.
    for (Program* p : {&driverEof, &blinker, &blinkerEof}) {
        p->run.reset();
    }
    bool ok = latency(driver, false);
    ok = latency(driver, true) && ok;
    latencyRows();
    ok = throughput(*driver.run, driver.board) && ok;
    memoryRow("relay driver memory after flood", driver.run->pid());
    driver.run.reset();
    ok = pulses(pulser) && ok;
    ok = stalledReader(stalled) && ok;
    progress("done");
    return ok && unmeasured == 0;
}

void Benchmark::startDriver(Program& p, const QByteArray& config) {
    testkit::RunOptions options;
    options.program = o.driver;
    options.config = config;
    p.run = std::make_unique<ProgramRun>(p.board, options);
}

void Benchmark::startBlinker(Program& p) {
    testkit::RunOptions options;
    options.program = o.blinker;
    options.args = QStringList{"165"};
    p.run = std::make_unique<ProgramRun>(p.board, options);
}

// A second driver and blinker have their standard input at its end from the
// start: reading must then neither spin nor cost anything.
bool Benchmark::startAll() {
    progress("starting four relay drivers and two LED blinkers");
    startBlinker(blinker);
    startBlinker(blinkerEof);
    blinkerEof.run->closeInput();
    startDriver(driverEof, togglesConfig);
    driverEof.run->closeInput();
    startDriver(driver, togglesConfig);
    startDriver(pulser, pulsesConfig);
    startDriver(stalled, toggleAndPulseConfig);
    for (Program* b : {&blinker, &blinkerEof}) {
        if (!b->run->waitStarted(startTimeoutMs)) {
            report.row("LED blinker start", "did not start: " + why(*b->run));
            return false;
        }
    }
    for (Program* d : {&driver, &driverEof, &pulser, &stalled}) {
        if (!ready(*d)) {
            return false; // the others would only fail the same way, one by one
        }
    }
    return true;
}

// The banner takes about 2.1 s; the board and the cycle follow it.
bool Benchmark::ready(Program& d) {
    if (testkit::relayrun::waitForBanner(*d.run, startTimeoutMs) < 0 ||
        !testkit::relayrun::waitForTicks(d.board, 1, startTimeoutMs)) {
        report.row("relay driver start",
                   QString(d.run->running() ? "no banner or no tick within 20 s" : "ended") + ": " +
                       why(*d.run));
        return false;
    }
    return true;
}

void Benchmark::idle(ProgramRun& run, QList<Idler> idlers) {
    progress(QString("idle for %1 s").arg(o.idleSeconds));
    QHash<qint64, long> sleeps0 = ProcessUsage::sleeps(run.pid());
    for (Idler& i : idlers) {
        i.before = ProcessUsage::cpu(i.run->pid());
    }
    long long start = testkit::monotonicUs();
    run.pump(o.idleSeconds * 1000); // sleeps in poll: the benchmark is idle too
    double seconds = static_cast<double>(testkit::monotonicUs() - start) / 1e6;
    findCycleThread(sleeps0, ProcessUsage::sleeps(run.pid()));
    report.section(QString("Idle for %1 s (CPU: /proc stat; thread run time)").arg(o.idleSeconds));
    for (const Idler& i : idlers) {
        cpuRow(i.name, i.before, ProcessUsage::cpu(i.run->pid()), seconds, i.targetPercent);
    }
    memoryRow("relay driver memory", run.pid());
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

bool Benchmark::missing(const QString& figure, bool none) {
    if (none) {
        report.row(figure, "NOT MEASURED");
        ++unmeasured;
    }
    return none;
}

void Benchmark::cpuRow(const QString& figure, const CpuTime& before, const CpuTime& after,
                       double seconds, double targetPercent) {
    double stat = ProcessUsage::percent(before.statSeconds, after.statSeconds, seconds);
    double sched = ProcessUsage::percent(before.schedSeconds, after.schedSeconds, seconds);
    if (missing(figure, stat < 0)) {
        return;
    }
    report.row(figure, QString("%1 % (%2 %)").arg(fixed(stat, 3), fixed(sched, 3)),
               QString("< %1 %").arg(targetPercent), verdict(stat < targetPercent));
}

void Benchmark::memoryRow(const QString& figure, qint64 pid) {
    long rss = ProcessUsage::memoryKb(pid, "VmRSS");
    long peak = ProcessUsage::memoryKb(pid, "VmHWM");
    report.row(
        figure,
        QString("VmRSS %1 MiB (peak %2 MiB)").arg(fixed(rss / 1024.0), fixed(peak / 1024.0)));
}

bool Benchmark::latency(Program& d, bool flood) {
    progress(QString("latency, %1: %2 relay activations and %2 key flips")
                 .arg(flood ? "standard input flooded" : "no flood")
                 .arg(o.samples));
    ProgramRun& run = *d.run;
    std::unique_ptr<LineFlood> flooder;
    if (flood) {
        flooder = std::make_unique<LineFlood>(run.inputFd(), "pickup\n");
        run.pump(300); // the pipe is full from here on
    }
    int half = o.samples / 2;
    RelayChannel relay0(0, 0, half), relay1(1, 0, o.samples - half);
    KeyChannel key0(0, d.board, half), key1(1, d.board, o.samples - half);
    ProbeLoop loop(run, d.board);
    loop.add(&relay0);
    loop.add(&relay1);
    loop.add(&key0);
    loop.add(&key1);
    loop.setDialogueEvery(flood ? o.dialogueEveryMs : 0);
    CpuTime before = ProcessUsage::cpu(run.pid(), cycleThread);
    long long start = testkit::monotonicUs();
    bool finished = loop.run(probeLimitMs);
    Latency& l = measured[flood ? 1 : 0];
    l.waitMs =
        (ProcessUsage::cpu(run.pid(), cycleThread).waitSeconds - before.waitSeconds) * 1000.0;
    l.seconds = static_cast<double>(testkit::monotonicUs() - start) / 1e6;
    if (flooder) {
        flooder->stop();
        floodRate = static_cast<double>(flooder->linesWritten()) / flooder->seconds();
        run.pump(500); // what the flood left in the pipe is read
    }
    for (const RelayChannel* r : {&relay0, &relay1}) {
        l.relay.addAll(r->latency());
        l.writeWait.addAll(r->writeWait());
    }
    for (const KeyChannel* k : {&key0, &key1}) {
        l.key.addAll(k->latency());
    }
    l.tick.addAll(loop.tickIntervals());
    return finished;
}

void Benchmark::latencyRows() {
    report.section("Command to relay: \"open N\" in the pipe -> change in trace");
    latencyRow("no flood", measured[0].relay, o.samples);
    latencyRow("flood", measured[1].relay, o.samples);
    waitForRoomRow("no flood", measured[0].writeWait);
    waitForRoomRow("flood", measured[1].writeWait);
    report.section("Key to report: key file written -> \"Key_N state\" read");
    latencyRow("no flood", measured[0].key, o.samples);
    latencyRow("flood", measured[1].key, o.samples);
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

void Benchmark::latencyRow(const QString& figure, const Samples& s, int asked) {
    QString name = figure + ": p50 / p99 / max";
    if (missing(name, s.count() == 0)) {
        return;
    }
    int least = asked * 4 / 5;
    bool met = s.count() >= least && s.percentile(99) <= p99TargetMs && s.max() <= maxTargetMs;
    report.row(
        name,
        QString("%1 / %2 / %3 ms (n = %4)")
            .arg(fixed(s.percentile(50)), fixed(s.percentile(99)), fixed(s.max()))
            .arg(s.count()),
        QString("p99 <= %1, max <= %2 ms, n >= %3").arg(p99TargetMs).arg(maxTargetMs).arg(least),
        verdict(met));
}

bool Benchmark::throughput(ProgramRun& run, const BoardSandbox& board) {
    progress(QString("console throughput: %L1 lines").arg(o.throughputLines));
    ConsoleThroughput t(board.dir(), o.throughputLines);
    bool ok = t.measure(run);
    throughputRows(t);
    return ok;
}

void Benchmark::throughputRows(const ConsoleThroughput& t) {
    report.section("Console throughput: ignored \"pickup\" lines");
    QString figure = QString("relay driver, %L1 lines via a pipe").arg(t.lines());
    double rate = t.driverLinesPerSecond();
    if (!missing(figure, rate <= 0)) {
        report.row(figure, grouped(rate) + " lines/s", ">= 1,000,000 lines/s",
                   verdict(rate >= linesTarget));
    }
    double catRate = t.catLinesPerSecond();
    report.row("cat of the same file to /dev/null",
               QString("%1 lines/s; driver / cat = %2")
                   .arg(grouped(catRate), catRate > 0 ? fixed(rate / catRate, 3) : "?"));
    report.row("relay driver during the flood", grouped(floodRate) + " lines/s");
}

// A driver with two pulse outputs: 5 ticks on relay 0, 30 ticks on relay 1.
bool Benchmark::pulses(Program& d) {
    progress(QString("pulse lengths: %1 pulses of 5 ticks, %2 of 30 ticks")
                 .arg(o.shortPulses)
                 .arg(o.longPulses));
    RelayChannel shortPulse(0, 5, o.shortPulses), longPulse(1, 30, o.longPulses);
    ProbeLoop loop(*d.run, d.board);
    loop.add(&shortPulse);
    loop.add(&longPulse);
    bool finished = loop.run(probeLimitMs);
    report.section("Pulse length error: length in trace - N x 100 ms");
    pulseRow("N = 5 ticks", shortPulse.pulseError());
    pulseRow("N = 30 ticks", longPulse.pulseError());
    d.run.reset();
    return finished;
}

// The peer stops reading standard output altogether: relays must keep their
// timing. Then it reads again, and key reports must come as fast as ever.
bool Benchmark::stalledReader(Program& d) {
    int half = o.samples / 2;
    progress(QString("standard output unread: %1 activations of a toggle, %2 pulses of 5 ticks; "
                     "then %3 key flips")
                 .arg(half)
                 .arg(o.shortPulses)
                 .arg(half));
    ProgramRun& run = *d.run;
    run.holdOutput(true);
    // Replies enough to fill the pipe; the rest waits in the driver's queue.
    run.write("dialplan\n" + QByteArray("1024\n").repeated(20000) + "-1\n-1\n");
    run.pump(300);
    RelayChannel toggle(0, 0, half), pulse(1, 5, o.shortPulses);
    ProbeLoop stalledLoop(run, d.board);
    stalledLoop.add(&toggle);
    stalledLoop.add(&pulse);
    bool finished = stalledLoop.run(probeLimitMs);
    bool stillStalled = run.outputPending() > 0;
    run.holdOutput(false);
    finished = run.waitForLine(testkit::protocol::blacklistAsked, startTimeoutMs) >= 0 && finished;
    KeyChannel key0(0, d.board, half / 2), key1(1, d.board, half - half / 2);
    ProbeLoop resumed(run, d.board);
    resumed.add(&key0);
    resumed.add(&key1);
    finished = resumed.run(probeLimitMs) && finished;

    report.section("Standard output not read at all, then read again");
    // Otherwise the driver's output was never held up, and these figures
    // are those of a reader that keeps up.
    report.row("standard output stayed unread throughout", stillStalled ? "yes" : "no");
    latencyRow("\"open N\" to relay change", toggle.latency(), half);
    pulseRow("pulse length error, N = 5 ticks", pulse.pulseError());
    Samples keys;
    keys.addAll(key0.latency());
    keys.addAll(key1.latency());
    latencyRow("key to report once read again", keys, half);
    d.run.reset();
    return finished;
}

void Benchmark::pulseRow(const QString& figure, const Samples& s) {
    QString name = figure + ": mean / min / max";
    if (missing(name, s.count() == 0)) {
        return;
    }
    bool met = s.min() >= -pulseTargetMs && s.max() <= pulseTargetMs;
    report.row(name,
               QString("%1 / %2 / %3 ms (n = %4)")
                   .arg(withSign(s.mean()), withSign(s.min()), withSign(s.max()))
                   .arg(s.count()),
               QString("within +-%1 ms").arg(pulseTargetMs), verdict(met));
}
