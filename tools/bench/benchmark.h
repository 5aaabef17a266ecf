// The whole benchmark: runs the relay driver and the LED blinker on the
// simulated board through each measurement and fills the report table.
#ifndef BENCHMARK_H
#define BENCHMARK_H

#include "boardsandbox.h"
#include "processusage.h"
#include "programrun.h"
#include "reporttable.h"
#include "samples.h"

#include <QString>
#include <memory>

struct BenchOptions {
    QString driver;
    QString blinker;
    int samples = 250; // relay activations, and key flips, per latency figure
    int idleSeconds = 30;
    long long throughputLines = 5000000;
    int shortPulses = 20;     // pulses of 5 ticks
    int longPulses = 5;       // pulses of 30 ticks
    int dialogueEveryMs = 50; // dial-plan exchanges sent during the flood
};

class Benchmark {
  public:
    explicit Benchmark(const BenchOptions& options) : o(options) {}

    // False when a program did not start or a figure could not be measured
    // at all; the table says which. Figures off their targets do not count.
    bool run();
    const ReportTable& table() const { return report; }
    static QString machine();

  private:
    // One program on a board of its own.
    struct Program {
        testkit::BoardSandbox board;
        std::unique_ptr<testkit::ProgramRun> run;
    };

    struct Latency {
        Samples relay, key, tick, writeWait;
        double waitMs = 0, seconds = 0; // the cycle thread waiting for a CPU
    };

    struct Idler {
        QString name;
        testkit::ProgramRun* run;
        double targetPercent;
        testkit::CpuTime before;
    };

    void startDriver(Program& p, const QByteArray& config);
    void startBlinker(Program& p);
    // Starts every program at once: the driver's banner takes over two seconds.
    bool startAll();
    bool ready(Program& driver);
    // Idlers: driver, driver at end of input, blinker, blinker at end of input.
    void idle(testkit::ProgramRun& driver, QList<Idler> idlers);
    bool latency(Program& driver, bool flood);
    bool throughput(testkit::ProgramRun& driver, const testkit::BoardSandbox& board);
    bool pulses(Program& driver);
    bool stalledReader(Program& driver);
    void latencyRows();
    // Met with at least 4/5 of the `asked` samples within the latency targets.
    void latencyRow(const QString& figure, const Samples& s, int asked);
    void throughputRows(const class ConsoleThroughput& t);
    void pulseRow(const QString& figure, const Samples& s);
    void tickRow(const QString& figure, const Samples& s);
    void waitForRoomRow(const QString& figure, const Samples& s);
    void waitRow(const QString& figure, const Latency& l);
    void findCycleThread(const QHash<qint64, long>& before, const QHash<qint64, long>& after);
    void cpuRow(const QString& figure, const testkit::CpuTime& before,
                const testkit::CpuTime& after, double seconds, double targetPercent);
    void memoryRow(const QString& figure, qint64 pid);
    // With `none`, a row saying the figure could not be measured, which
    // counts against the run; returns `none`.
    bool missing(const QString& figure, bool none);

    BenchOptions o;
    ReportTable report;
    // The main driver (idle, latencies, throughput) and the other programs,
    // each with its input at its end from the start (idle only); a driver with
    // two pulse outputs; one whose standard output is left unread.
    Program driver, driverEof, blinker, blinkerEof, pulser, stalled;
    Latency measured[2];    // quiet, flooded
    qint64 cycleThread = 0; // the driver's thread that wakes on every tick
    double floodRate = 0;
    int unmeasured = 0;
};

#endif
