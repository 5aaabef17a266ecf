// qor-bench: timing and cost of the relay driver and the LED blinker on the
// simulated board, printed as one table. The programs run in private mount
// and network namespaces (see the test kit). The targets are shown, never
// enforced: it fails only when it cannot take its measurements.
#include "benchmark.h"

#include <QElapsedTimer>
#include <QString>
#include <cstdio>
#include <cstring>

namespace {

void usage() {
    fprintf(stderr,
            "usage: qor-bench [--quick] [--samples N] [--idle SECONDS] [--lines N]\n"
            "                 [--pulses SHORT LONG] [--driver PATH] [--blinker PATH]\n"
            "  --quick    a pass of a few seconds, as the test command runs it (rough figures)\n"
            "  --samples  relay activations and key flips per latency figure (250)\n"
            "  --idle     length of the idle CPU window (30)\n"
            "  --lines    ignored lines for the throughput figure (5000000)\n"
            "  --pulses   pulses of 5 and of 30 ticks (20 5)\n");
}

BenchOptions defaults() {
    BenchOptions o;
    o.driver = QOR_BENCH_DRIVER;
    o.blinker = QOR_BENCH_BLINKER;
    return o;
}

// The 30-tick pulse alone takes 3 s; everything else is as short as still
// gives a figure.
void makeQuick(BenchOptions& o) {
    o.samples = 20;
    o.idleSeconds = 2;
    o.throughputLines = 1000000;
    o.shortPulses = 2;
    o.longPulses = 1;
}

// False on an unknown option or a missing value.
bool parse(int argc, char* argv[], BenchOptions& o) {
    for (int i = 1; i < argc; ++i) {
        QString a = argv[i];
        bool one = i + 1 < argc, two = i + 2 < argc;
        if (a == "--quick") {
            makeQuick(o);
        } else if (a == "--samples" && one) {
            o.samples = atoi(argv[++i]);
        } else if (a == "--idle" && one) {
            o.idleSeconds = atoi(argv[++i]);
        } else if (a == "--lines" && one) {
            o.throughputLines = atoll(argv[++i]);
        } else if (a == "--pulses" && two) {
            o.shortPulses = atoi(argv[++i]);
            o.longPulses = atoi(argv[++i]);
        } else if (a == "--driver" && one) {
            o.driver = argv[++i];
        } else if (a == "--blinker" && one) {
            o.blinker = argv[++i];
        } else {
            return false;
        }
    }
    return o.samples > 1 && o.idleSeconds > 0 && o.throughputLines > 0 && o.shortPulses > 0 &&
           o.longPulses > 0;
}

} // namespace

int main(int argc, char* argv[]) {
    BenchOptions options = defaults();
    if (!parse(argc, argv, options)) {
        usage();
        return 2;
    }
    QElapsedTimer clock;
    clock.start();
    QString machine = Benchmark::machine();
    Benchmark bench(options);
    bool complete = bench.run();
    printf("Machine: %s\n\n", qPrintable(machine));
    bench.table().print(stdout);
    printf("\n%s; %d figure(s) off their targets (shown, not enforced); run time %.1f s\n",
           complete ? "All measurements taken" : "SOME MEASUREMENTS COULD NOT BE TAKEN",
           bench.table().missed(), static_cast<double>(clock.elapsed()) / 1000.0);
    return complete ? 0 : 1;
}
