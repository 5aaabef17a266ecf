// The whole benchmark: runs the relay driver and the LED blinker on the
// simulated board through each measurement and fills the report table.
#ifndef BENCHMARK_H
#define BENCHMARK_H

#include "outputcheck.h"
#include "processusage.h"
#include "programrun.h"
#include "relaychannel.h"
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
    static constexpr int minSamples = 200;

  public:
    explicit Benchmark(const BenchOptions& options) : o(options) {}

    // False when a measurement could not be taken; the table says which.
    bool run();
    const ReportTable& table() const { return report; }
    static QString machine();

  private:
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

    std::unique_ptr<testkit::ProgramRun> launchDriver(const testkit::BoardSandbox& board,
                                                      const QByteArray& config);
    bool ready(testkit::ProgramRun& driver);
    std::unique_ptr<testkit::ProgramRun> startBlinker(const testkit::BoardSandbox& board);
    bool mainRun();
    // Idlers: driver, driver at end of input, blinker, blinker at end of input.
    void idle(testkit::ProgramRun& driver, QList<Idler> idlers);
    // Checks what a program printed and wrote to the board trace.
    void finishBlinker(testkit::ProgramRun& blinker, const testkit::BoardSandbox& board);
    void finishDriver(testkit::ProgramRun& driver, const testkit::BoardSandbox& board);
    bool latency(testkit::ProgramRun& driver, const testkit::BoardSandbox& board, bool flood);
    bool throughput(testkit::ProgramRun& driver, const testkit::BoardSandbox& board);
    bool pulses();
    bool stalledReader();
    void count(const RelayChannel& relay);
    void latencyRows();
    // Met with at least `least` samples within the latency targets.
    void latencyRow(const QString& figure, const Samples& s, int least = minSamples);
    void throughputRows(const class ConsoleThroughput& t);
    void pulseRow(const QString& figure, const Samples& s);
    void tickRow(const QString& figure, const Samples& s);
    void waitForRoomRow(const QString& figure, const Samples& s);
    void waitRow(const QString& figure, const Latency& l);
    void correctnessRows();
    void findCycleThread(const QHash<qint64, long>& before, const QHash<qint64, long>& after);
    void cpuRow(const QString& figure, const testkit::CpuTime& before,
                const testkit::CpuTime& after, double seconds, double targetPercent);
    void memoryRow(const QString& figure, qint64 pid);

    BenchOptions o;
    ReportTable report;
    OutputCheck check;
    Latency measured[2]; // quiet, flooded
    int relayLost = 0, relayUnexpected = 0, keyLost = 0, keyUnexpected = 0;
    int traceMalformed = 0;
    qint64 cycleThread = 0; // the driver's thread that wakes on every tick
    int dialoguesSent = 0, dialoguesAnswered = 0;
    double floodRate = 0;
    int driverErrorLines = 0;
};

#endif
