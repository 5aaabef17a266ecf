// The relay outputs tick by tick, driven through a setter that records every
// level written.
#include "outtoggle.h"
#include "outturnoff.h"
#include "outturnon.h"
#include "recordingsetter.h"

#include <QtTest>
#include <atomic>
#include <thread>
#include <vector>

using namespace recording;

namespace {

PinOut* makeOutput(const QString& kind) {
    if (kind == "on") {
        return keep(new OutTurnOn(record));
    }
    if (kind == "off") {
        return keep(new OutTurnOff(record));
    }
    return keep(new OutToggle(record));
}

QString times(const QString& text, int n) {
    return text.repeated(n);
}

} // namespace

class TestOutputs : public QObject {
    Q_OBJECT

  private slots:
    void init() { written.clear(); }

    void restingLevelWrittenOnceAtConstruction_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("rest");
        QTest::newRow("on-pulse rests off") << "on" << 0;
        QTest::newRow("off-pulse rests on") << "off" << 1;
        QTest::newRow("toggle rests off") << "toggle" << 0;
    }

    void restingLevelWrittenOnceAtConstruction() {
        QFETCH(QString, kind);
        QFETCH(int, rest);
        makeOutput(kind);
        QCOMPARE(written, std::vector<int>{rest});
    }

    // A script is a list of steps: "a" activates, "t" is one tick and "t*K"
    // K ticks, "dN" calls set_delay(N). Per tick the expected write is '.'
    // (none), '0' or '1', and the expected result of process() 'T' or '-'.
    void ticks_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("writes");
        QTest::addColumn<QString>("results");

        const QString busy30 = "-" + times("T", 30) + "---";
        const QString onWrites30 = "." + times("1", 30) + "0..";
        const QString offWrites30 = "." + times("0", 30) + "1..";
        QTest::newRow("on-pulse N=30") << "on"
                                       << "d30 t a t*31 t*2" << onWrites30 << busy30;
        QTest::newRow("off-pulse N=30") << "off"
                                        << "d30 t a t*31 t*2" << offWrites30 << busy30;
        QTest::newRow("on-pulse N=0") << "on"
                                      << "d0 t a t t"
                                      << ".0."
                                      << "---";
        QTest::newRow("off-pulse N=0") << "off"
                                       << "d0 t a t t"
                                       << ".1."
                                       << "---";
        QTest::newRow("second activate during a pulse") << "on"
                                                        << "d3 t a t a t a t t t"
                                                        << ".1110."
                                                        << "-TTT--";
        QTest::newRow("activate right after the end starts a new pulse") << "off"
                                                                         << "d2 t a t t t a t t t"
                                                                         << ".001001"
                                                                         << "-TT-TT-";
        QTest::newRow("idle on-pulse never writes")
            << "on"
            << "d5 t*12" << times(".", 12) << times("-", 12);
        QTest::newRow("idle off-pulse never writes")
            << "off"
            << "d5 t*12" << times(".", 12) << times("-", 12);
        QTest::newRow("set_delay during a pulse acts on the next one")
            << "on"
            << "d3 t a t d1 t t t t a t t"
            << ".1110.10"
            << "-TTT--T-";
        QTest::newRow("activate before the first idle tick, on") << "on"
                                                                 << "d3 a t*4 t"
                                                                 << "1110."
                                                                 << "TTT--";
        QTest::newRow("activate before the first idle tick, off") << "off"
                                                                  << "d2 a t*3 t"
                                                                  << "001."
                                                                  << "TT--";
        QTest::newRow("toggle flips once per activation") << "toggle"
                                                          << "t a t t a t a t"
                                                          << ".1.01"
                                                          << "-T-TT";
        QTest::newRow("toggle: two activations between ticks flip once") << "toggle"
                                                                         << "t a a t t a a t"
                                                                         << ".1.0"
                                                                         << "-T-T";
        QTest::newRow("toggle ignores the pulse length") << "toggle"
                                                         << "d30 a t t t"
                                                         << "1.."
                                                         << "T--";
    }

    void ticks() {
        QFETCH(QString, kind);
        QFETCH(QString, script);
        QFETCH(QString, writes);
        QFETCH(QString, results);
        PinOut* out = makeOutput(kind);
        QString gotWrites, gotResults;
        for (const QString& step : script.split(' ')) {
            if (step == "a") {
                out->activate();
            } else if (step.startsWith('d')) {
                out->set_delay(static_cast<uint16_t>(step.mid(1).toInt()));
            } else {
                int n = step.startsWith("t*") ? step.mid(2).toInt() : 1;
                for (int i = 0; i < n; ++i) {
                    written.clear();
                    bool result = out->process();
                    QVERIFY2(written.size() <= 1, "more than one write in one tick");
                    gotWrites += written.empty() ? QChar('.') : QChar('0' + written.front());
                    gotResults += result ? 'T' : '-';
                }
            }
        }
        QCOMPARE(gotWrites, writes);
        QCOMPARE(gotResults, results);
    }

    // Activations come from another thread while the ticks run: every pulse
    // must last its full length, which it would not if a tick saw the flag
    // raised but the counter of the previous pulse.
    void activationsFromAnotherThreadGiveFullPulses() {
        const int length = 3;
        OutTurnOn out(record);
        out.set_delay(length);
        written.clear();
        std::atomic<bool> done{false};
        std::thread console([&] {
            while (!done.load()) {
                out.activate();
                std::this_thread::yield();
            }
        });
        // Ticks go on until enough pulses were seen (the other thread may
        // start late) or a generous time is up.
        QElapsedTimer time;
        time.start();
        int activeTicks = 0;
        for (int i = 0; (i < 20000 || activeTicks < 300) && time.elapsed() < 20000; ++i) {
            activeTicks += out.process() ? 1 : 0;
        }
        done = true;
        console.join();

        QVERIFY(activeTicks > 0);
        int run = 0, pulses = 0;
        for (int level : written) {
            if (level == 1) {
                ++run;
                continue;
            }
            QCOMPARE(run, length);
            run = 0;
            ++pulses;
        }
        QVERIFY(run <= length); // the last pulse may still be running
        QCOMPARE(activeTicks, pulses * length + run);
    }
};

QTEST_APPLESS_MAIN(TestOutputs)
#include "tst_outputs.moc"
