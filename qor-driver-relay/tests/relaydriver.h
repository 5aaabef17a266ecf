// One run of the real relay driver on a board of its own, as the end-to-end
// tests start it; each test adds what it looks at.
#ifndef RELAYDRIVER_H
#define RELAYDRIVER_H

#include "processusage.h"
#include "tracetiming.h"

#include <memory>

struct RelayDriver {
    testkit::BoardSandbox board;
    std::unique_ptr<testkit::ProgramRun> run;
    int afterBanner = -1; // the first line after the banner

    void start(const QByteArray& config, bool nonBlockingOutput = false) {
        testkit::RunOptions o = options(config);
        o.nonBlockingOutput = nonBlockingOutput;
        start(o);
    }

    // A configuration: relay 0 pulses (type "ON_DELAY" or "OFF_DELAY") for
    // `ticks`, relay 1 toggles.
    static QByteArray pulseAndToggle(const char* pulse, int ticks) {
        return QString(R"({"Rel": [{"PinOutType": "%1", "counterCycle": %2},
                                   {"PinOutType": "TOGGLE", "counterCycle": 0}]})")
            .arg(pulse)
            .arg(ticks)
            .toUtf8();
    }

    // The driver with `config` as its configuration file, for more options.
    static testkit::RunOptions options(const QByteArray& config) {
        testkit::RunOptions o;
        o.program = RELAY_DRIVER;
        o.config = config;
        return o;
    }

    void start(const testkit::RunOptions& o) {
        run = std::make_unique<testkit::ProgramRun>(board, o);
    }

    // Waits for the banner and for `ticks` ticks of the cycle (0: until it
    // has started).
    bool ready(int ticks = 0) {
        afterBanner = TraceTiming::waitForBanner(*run);
        return afterBanner > 0 && TraceTiming::waitForTicks(board, ticks);
    }

    QByteArray why() { return "driver's standard error: " + run->errorOutput(); }

    // What /proc says of the run: CPU time so far, resident memory in KiB.
    double cpuSeconds() const { return testkit::ProcessUsage::cpuSeconds(run->pid()); }
    long residentKb() const { return testkit::ProcessUsage::memoryKb(run->pid(), "VmRSS"); }

    QStringList errorLines() {
        return QString::fromUtf8(run->errorOutput()).split('\n', Qt::SkipEmptyParts);
    }
};

#endif
