#include "tracetiming.h"

using namespace testkit;

namespace {

const QString key0 = boardop::key[0];
const QString key1 = boardop::key[1];
const QString relay0 = boardop::relay[0];
const QString relay1 = boardop::relay[1];

// Long enough for a start under the emulator on a loaded machine.
const int traceWaitMs = 30000;

QString describe(const QList<int>& levels) {
    QStringList s;
    for (int level : levels) {
        s << QString::number(level);
    }
    return "[" + s.join(' ') + "]";
}

} // namespace

long long TraceTiming::slackUs() {
    return ProgramRun::slackUs();
}

int TraceTiming::waitForBanner(ProgramRun& run) {
    return relayrun::waitForBanner(run, 60000);
}

bool TraceTiming::waitForTicks(const BoardSandbox& board, int count) {
    return relayrun::waitForTicks(board, count, traceWaitMs);
}

bool TraceTiming::waitPastTicks(const BoardSandbox& board, int count) {
    return waitForTicks(board, board.trace().only(key0).size() - 1 + count);
}

bool TraceTiming::waitForWrite(const BoardSandbox& board, const QString& op, long long sinceUs,
                               int count) {
    return board.waitUntilTrace(
        [&](const BoardTrace& trace) {
            int writes = 0;
            for (const TraceEntry& e : trace.entries()) {
                writes += e.op == op && e.tUs > sinceUs ? 1 : 0;
            }
            return writes >= count;
        },
        traceWaitMs);
}

QString TraceTiming::checkWrites(const BoardTrace& trace, const QString& op, long long sentUs,
                                 long long untilUs, const QList<int>& levels) {
    const QList<TraceEntry>& all = trace.entries();
    QList<int> at, got;
    for (int i = 0; i < all.size(); ++i) {
        if (all[i].op == op && all[i].tUs > sentUs && all[i].tUs <= untilUs) {
            at << i;
            got << all[i].value;
        }
    }
    if (got != levels) {
        return QString("%1 wrote %2, expected %3").arg(op, describe(got), describe(levels));
    }
    if (at.isEmpty()) {
        return {};
    }
    long long latency = all[at.first()].tUs - sentUs;
    if (latency > tickUs + slackUs()) {
        return QString("%1 first written %2 ms after the command").arg(op).arg(latency / 1000);
    }
    for (int w = 1; w < at.size(); ++w) {
        int ticks = 0;
        for (int i = at[w - 1] + 1; i < at[w]; ++i) {
            ticks += all[i].op == key0 ? 1 : 0;
        }
        if (ticks != 1) {
            return QString("%1: write %2 came %3 ticks after the one before")
                .arg(op)
                .arg(w)
                .arg(ticks);
        }
    }
    long long span = all[at.last()].tUs - all[at.first()].tUs;
    long long nominal = (at.size() - 1) * tickUs;
    if (span < nominal * 9 / 10 || span > nominal + slackUs()) {
        return QString("%1: %2 writes took %3 ms").arg(op).arg(at.size()).arg(span / 1000);
    }
    return {};
}

QString TraceTiming::checkTickShape(const BoardTrace& trace) {
    const QList<TraceEntry>& all = trace.entries();
    int i = trace.indexOf(key0);
    if (i < 0 || i + 1 >= all.size() || all[i + 1].op != key1) {
        return "no first reading of both keys";
    }
    bool wrote0 = false, wrote1 = false, afterKey0 = false;
    for (i += 2; i < all.size(); ++i) {
        const QString& op = all[i].op;
        bool fits = afterKey0 ? op == key1
                              : (op == key0 || (op == relay0 && !wrote0 && !wrote1) ||
                                 (op == relay1 && !wrote1));
        if (!fits) {
            return QString("trace entry %1 (%2) out of place in a tick").arg(i).arg(op);
        }
        wrote0 = wrote0 || op == relay0;
        wrote1 = wrote1 || op == relay1;
        afterKey0 = op == key0;
        if (op == key1) {
            wrote0 = wrote1 = false;
        }
    }
    return {};
}

double TraceTiming::tickRate(const BoardTrace& trace) {
    QList<TraceEntry> reads = trace.only(key0);
    if (reads.size() < 3) {
        return 0;
    }
    double seconds = (reads.last().tUs - reads[1].tUs) / 1e6;
    return (reads.size() - 2) / seconds;
}

QStringList TraceTiming::expectedKeyLines(const BoardTrace& trace, int key) {
    const QList<TraceEntry> reads = trace.only(key ? key1 : key0);
    QStringList lines;
    for (int i = 1; i < reads.size(); ++i) {
        bool before = reads[i - 1].value != 0, now = reads[i].value != 0;
        if (now != before) {
            lines << protocol::keyReport(key, now);
        }
    }
    return lines;
}
