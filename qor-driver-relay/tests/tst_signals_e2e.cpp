// The real driver on the simulated board against signals and job control:
// whatever ends or stops it, and at any moment of a pulse, the pulse output
// is left at its resting level, and the exit status tells what happened.
#include "relaydriver.h"
#include "relayprotocol.h"
#include "stopcontrol.h"
#include "togethertest.h"

#include <QRandomGenerator>
#include <QtTest>
#include <algorithm>
#include <climits>
#include <csignal>
#include <memory>
#include <vector>

using namespace testkit;

namespace {

const int pulseTicks = 3;
QByteArray pulseAndToggle(const char* pulse = "ON_DELAY", int ticks = pulseTicks) {
    return RelayDriver::pulseAndToggle(pulse, ticks);
}
const QString relay0 = boardop::relay[0];
const QString relay1 = boardop::relay[1];
const int longWaitMs = 60000;

// What a signal does to the driver.
enum Kind {
    STOPS,   // the pulse outputs at rest, exit status 0
    ENDS,    // the same, exit status 128 + the signal's number
    CRASHES, // the pulse outputs at rest, then the signal's default action
    IGNORED  // nothing: the pulse runs its course
};

struct SignalCase {
    const char* name;
    int signum;
    Kind kind;
};

const SignalCase signalCases[] = {
    {"SIGTERM", SIGTERM, STOPS},
    {"SIGINT", SIGINT, STOPS},
    {"SIGHUP", SIGHUP, STOPS},
    {"SIGQUIT", SIGQUIT, ENDS},
    {"SIGTRAP", SIGTRAP, ENDS},
    {"SIGUSR1", SIGUSR1, ENDS},
    {"SIGUSR2", SIGUSR2, ENDS},
    {"SIGALRM", SIGALRM, ENDS},
    {"SIGSTKFLT", SIGSTKFLT, ENDS},
    {"SIGXCPU", SIGXCPU, ENDS},
    {"SIGVTALRM", SIGVTALRM, ENDS},
    {"SIGPROF", SIGPROF, ENDS},
    {"SIGIO", SIGIO, ENDS},
    {"SIGPWR", SIGPWR, ENDS},
    {"SIGSYS", SIGSYS, ENDS},
    {"SIGRTMIN", SIGRTMIN, ENDS},
    {"SIGRTMIN+5", SIGRTMIN + 5, ENDS},
    {"SIGSEGV", SIGSEGV, CRASHES},
    {"SIGBUS", SIGBUS, CRASHES},
    {"SIGFPE", SIGFPE, CRASHES},
    {"SIGILL", SIGILL, CRASHES},
    {"SIGABRT", SIGABRT, CRASHES},
    {"SIGXFSZ", SIGXFSZ, IGNORED},
    {"SIGTTOU", SIGTTOU, IGNORED},
    {"SIGTTIN", SIGTTIN, IGNORED},
    {"SIGPIPE", SIGPIPE, IGNORED},
};
const int signalCount = int(sizeof signalCases / sizeof signalCases[0]);

// The signals sent during the banner.
const SignalCase bannerCases[] = {{"SIGTERM", SIGTERM, STOPS},
                                  {"SIGINT", SIGINT, STOPS},
                                  {"SIGHUP", SIGHUP, STOPS},
                                  {"SIGUSR1", SIGUSR1, ENDS}};
const int bannerCaseCount = int(sizeof bannerCases / sizeof bannerCases[0]);

QList<int> levels(const QList<TraceEntry>& entries) {
    QList<int> out;
    for (const TraceEntry& e : entries) {
        out << e.value;
    }
    return out;
}

// A pulse of `pulseTicks` ticks away from `rest`, then `rest`.
QList<int> pulse(int rest) {
    QList<int> out;
    for (int i = 0; i < pulseTicks; ++i) {
        out << 1 - rest;
    }
    return out << rest;
}

// Several drivers started at once, as each spends over two seconds in its
// banner.
std::vector<std::unique_ptr<RelayDriver>> startDrivers(const QList<QByteArray>& configs) {
    std::vector<std::unique_ptr<RelayDriver>> drivers;
    for (const QByteArray& config : configs) {
        drivers.push_back(std::make_unique<RelayDriver>());
        drivers.back()->start(config);
    }
    return drivers;
}

// How the run ended against what the kind of signal asks; empty when right.
QString checkEnd(RelayDriver& d, const SignalCase& c) {
    int status = d.run->waitForExit(longWaitMs);
    // An ignored signal is followed by SIGTERM.
    int expected = c.kind == ENDS ? 128 + c.signum : 0;
    if (c.kind == CRASHES) {
        return d.run->exitSignal() == c.signum
                   ? QString()
                   : QString("not ended by the signal (exit status %1)").arg(status);
    }
    return status == expected ? QString()
                              : QString("exit status %1, not %2").arg(status).arg(expected);
}

} // namespace

class TestSignalsE2e : public TogetherTest {
    Q_OBJECT

  public:
    // The drivers of the functions start at once (see together.h).
    TestSignalsE2e() {
        together.plan("signalMidPulse", [this] {
            QList<QByteArray> configs;
            for (int i = 0; i < signalCount; ++i) {
                configs << pulseAndToggle(i % 2 ? "OFF_DELAY" : "ON_DELAY");
            }
            midPulse = startDrivers(configs);
        });
        together.plan("suspendRestsThenResumes", [this] {
            suspended = std::make_unique<RelayDriver>();
            suspended->start(pulseAndToggle("ON_DELAY", longPulse));
        });
        together.plan("backgroundOnTerminal", [this] {
            for (bool input : {false, true}) {
                RunOptions o = RelayDriver::options(pulseAndToggle());
                o.backgroundOnTerminal = true;
                o.inputFromTerminal = input;
                terminal[input] = std::make_unique<RelayDriver>();
                terminal[input]->start(o);
            }
        });
        together.plan("fileSizeLimit", [this] {
            limited = std::make_unique<RelayDriver>();
            RunOptions o = RelayDriver::options(pulseAndToggle());
            // The limit applies to the board's trace too: 64 KiB (in 512-byte
            // blocks) hold a minute of it, and less than the replies below.
            o.setup << "ulimit -f 128" << QString("exec >'%1/stdout'").arg(limited->board.dir());
            limited->start(o);
        });
        // Last, so that they are still early in their banners when the first
        // function takes them.
        together.plan("stopDuringBanner", [this] {
            inBanner =
                startDrivers(QVector<QByteArray>(bannerCaseCount, pulseAndToggle()).toList());
        });
    }

  private:
    static constexpr int longPulse = 30;
    std::vector<std::unique_ptr<RelayDriver>> midPulse;
    std::unique_ptr<RelayDriver> suspended;
    std::unique_ptr<RelayDriver> terminal[2]; // output only, input and output
    std::unique_ptr<RelayDriver> limited;
    std::vector<std::unique_ptr<RelayDriver>> inBanner;

  private slots:
    // A signal that ends the driver during its banner ends it within a tick,
    // before the board is touched. All runs at once, each signal at a random
    // moment of the banner; the first function, so that its drivers are
    // still in their banners.
    void stopDuringBanner() {
        const SignalCase* cases = bannerCases;
        const int count = bannerCaseCount;
        auto& drivers = inBanner;
        const QString first = protocol::bannerHead.first();
        long long firstSeen = LLONG_MAX;
        for (auto& d : drivers) {
            QVERIFY2(d->run->waitForLine(first, longWaitMs) == 0, d->why().constData());
            firstSeen = qMin(firstSeen, d->run->lines().first().tUs);
        }
        // The banner's pauses take two seconds after its first lines, which
        // may have been read a little after they were written; the signals
        // come in turn, each run watched until it ends.
        std::vector<long long> at(count);
        for (long long& t : at) {
            t = firstSeen + QRandomGenerator::global()->bounded(1500000);
        }
        std::sort(at.begin(), at.end());
        QStringList wrong;
        for (int i = 0; i < count; ++i) {
            RelayDriver& d = *drivers[i];
            QVERIFY(QTest::qWaitFor([&] { return monotonicUs() >= at[i]; }, longWaitMs));
            long long signalled = monotonicUs();
            d.run->signal(cases[i].signum);
            QString why = checkEnd(d, cases[i]);
            long long tookUs = monotonicUs() - signalled;
            if (why.isEmpty() && tookUs > TraceTiming::tickUs + TraceTiming::slackUs()) {
                why = QString("ended %1 ms after the signal").arg(tookUs / 1000);
            }
            if (why.isEmpty() && !d.board.trace().entries().isEmpty()) {
                why = "the board was touched: " + d.board.trace().entries().first().op;
            }
            if (!why.isEmpty()) {
                wrong << QString("%1: %2 (%3)").arg(cases[i].name, why, QString(d.why()));
            }
        }
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join('\n')));
    }

    // Every signal whose default action ends the process, the crash signals
    // and the ignored ones, each at a random moment from before the first
    // tick of a pulse to past its end: the last level written to the pulse
    // output is its resting level, the toggle keeps its state, and the exit
    // status tells the kind. On- and off-pulses alternate; all runs at once.
    void signalMidPulse() {
        auto& drivers = midPulse;
        for (auto& d : drivers) {
            QVERIFY2(d->ready(), d->why().constData());
        }
        std::vector<long long> signalAt(signalCount), sent(signalCount);
        const int spanUs = (pulseTicks + 2) * int(TraceTiming::tickUs);
        for (int i = 0; i < signalCount; ++i) {
            sent[i] = monotonicUs();
            QVERIFY(drivers[i]->run->write("open 1\nopen 0\n"));
            signalAt[i] = sent[i] + QRandomGenerator::global()->bounded(spanUs);
        }
        for (int done = 0; done < signalCount; ++done) {
            int next = 0;
            for (int i = 0; i < signalCount; ++i) {
                next = signalAt[i] < signalAt[next] ? i : next;
            }
            QVERIFY(QTest::qWaitFor([&] { return monotonicUs() >= signalAt[next]; }, longWaitMs));
            drivers[next]->run->signal(signalCases[next].signum);
            signalAt[next] = LLONG_MAX;
        }
        QStringList wrong;
        for (int i = 0; i < signalCount; ++i) {
            QString why = checkSignalRun(*drivers[i], signalCases[i], i % 2, sent[i]);
            if (!why.isEmpty()) {
                wrong << QString("%1: %2").arg(signalCases[i].name, why);
            }
        }
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join('\n')));
    }

    // SIGTSTP mid-pulse (Ctrl-Z): the pulse output goes to rest and the
    // driver stops itself; SIGCONT resumes service and a new "open" pulses.
    void suspendRestsThenResumes() {
        RelayDriver& d = *suspended;
        QVERIFY2(d.ready(), d.why().constData());
        long long sent = monotonicUs();
        QVERIFY(d.run->write("open 0\n"));
        QVERIFY2(TraceTiming::waitForWrite(d.board, relay0, sent, 2), d.why().constData());
        d.run->signal(SIGTSTP);
        QVERIFY2(
            QTest::qWaitFor([&] { return ProcessUsage::state(d.run->pid()) == 'T'; }, longWaitMs),
            "the driver did not stop");
        QList<int> written = levels(d.board.trace().only(relay0));
        QVERIFY2(written.last() == 0 && written.size() < longPulse,
                 qPrintable(QString("relay 0 was left at %1 after %2 writes")
                                .arg(written.last())
                                .arg(written.size())));

        d.run->signal(SIGCONT);
        QVERIFY2(TraceTiming::waitPastTicks(d.board, 2), "the tick did not resume");
        sent = monotonicUs();
        QVERIFY(d.run->write("open 0\n"));
        QVERIFY2(TraceTiming::waitForWrite(d.board, relay0, sent), d.why().constData());
        QString wrong = TraceTiming::checkWrites(d.board.trace(), relay0, sent, monotonicUs(), {1});
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
        d.run->signal(SIGTERM);
        QCOMPARE(d.run->waitForExit(longWaitMs), 0);
        QCOMPARE(d.board.trace().lastValue(relay0), 0);
    }

    // Started in the background of a terminal set to "stty tostop", as
    // "qor-driver-relay &" from a shell: writing to the terminal does not
    // stop the driver, nor does reading from it, which ends the input
    // instead. Both runs at once.
    void backgroundOnTerminal() {
        RelayDriver &outputOnly = *terminal[0], &both = *terminal[1];
        for (RelayDriver* d : {&outputOnly, &both}) {
            QVERIFY2(d->ready(), d->why().constData());
        }
        long long sent = monotonicUs();
        QVERIFY(outputOnly.run->write("open 0\n"));
        for (RelayDriver* d : {&outputOnly, &both}) {
            QVERIFY(d->board.setKey(0, true));
        }
        QVERIFY2(TraceTiming::waitForWrite(outputOnly.board, relay0, sent, pulseTicks + 1),
                 outputOnly.why().constData());
        QString wrong = TraceTiming::checkWrites(outputOnly.board.trace(), relay0, sent,
                                                 monotonicUs(), pulse(0));
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
        for (RelayDriver* d : {&outputOnly, &both}) {
            QVERIFY2(d->run->waitForLine(protocol::keyReport(0, true), longWaitMs, d->afterBanner) >
                         0,
                     d->why().constData());
            d->run->signal(SIGTERM);
            QVERIFY2(d->run->waitForExit(longWaitMs) == 0, d->why().constData());
            QVERIFY2(d->run->errorOutput().isEmpty(), d->why().constData());
        }
    }

    // Standard output to a file under a file-size limit ("ulimit -f"): the
    // limit shows as a write error, so the running pulse ends on its normal
    // tick and the driver exits with the status for a reader gone.
    void fileSizeLimit() {
        RelayDriver& d = *limited;
        QVERIFY2(TraceTiming::waitForTicks(d.board, 1), d.why().constData());
        long long sent = monotonicUs();
        QVERIFY(d.run->write("open 0\ndialplan\n" + QByteArray("1024\n").repeated(5000)));
        QVERIFY2(d.run->waitForExit(longWaitMs) == StopControl::exitReaderGone,
                 d.why().constData());
        QString wrong =
            TraceTiming::checkWrites(d.board.trace(), relay0, sent, monotonicUs(), pulse(0));
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
        QVERIFY2(d.errorLines().join('\n').contains("standard output is gone (File too large)"),
                 d.why().constData());
    }

  private:
    QString checkSignalRun(RelayDriver& d, const SignalCase& c, int rest, long long sent) {
        if (c.kind == IGNORED) {
            if (!TraceTiming::waitForWrite(d.board, relay0, sent, pulseTicks + 1)) {
                return "the pulse did not end: " + QString(d.why());
            }
            // Its levels only: with every run of the test starting at once, a
            // tick may come late and the next one early.
            QList<int> written;
            for (const TraceEntry& e : d.board.trace().only(relay0)) {
                written << (e.tUs > sent ? e.value : -1);
            }
            written.removeAll(-1);
            if (written != pulse(rest)) {
                return "the pulse was changed by the signal";
            }
            d.run->signal(SIGTERM);
        }
        QString why = checkEnd(d, c);
        if (!why.isEmpty()) {
            return why + ", " + QString(d.why());
        }
        // A stop ends the tick; a crash may leave a key reading after the rest.
        const TraceEntry last = d.board.trace().entries().last();
        int lastLevel = d.board.trace().lastValue(relay0);
        if ((c.kind != CRASHES && last.op != relay0) || lastLevel != rest) {
            return QString("ended with %1 %2, relay 0 at %3")
                .arg(last.op)
                .arg(last.value)
                .arg(lastLevel);
        }
        QList<int> toggle = levels(d.board.trace().only(relay1));
        if (toggle != QList<int>({0}) && toggle != QList<int>({0, 1})) {
            return "the toggle output was reset";
        }
        // Under the emulator a crash is told on standard error by the emulator.
        if (c.kind != CRASHES && !d.run->errorOutput().isEmpty()) {
            return QString(d.why());
        }
        return QString();
    }
};

QTEST_GUILESS_MAIN(TestSignalsE2e)
#include "tst_signals_e2e.moc"
