// The cycle of the real driver on the simulated board: key reports, the tick
// as the board sees it, an off-pulse, and whole lines on standard output
// while keys and console replies compete for it. Two driver runs side by
// side: one for the test functions in order, and one kept under load by a
// thread of the test from the start, whose output is checked at the end.
#include "relaydriver.h"
#include "togethertest.h"

#include <QHash>
#include <QSet>
#include <QtTest>
#include <atomic>
#include <csignal>
#include <memory>
#include <thread>

using namespace testkit;
using namespace testkit::protocol;

namespace {

// Relay 0 rests on and pulses off for 3 ticks; relay 1 is left out.
const QByteArray config = R"({"Rel": [{"PinOutType": "OFF_DELAY", "counterCycle": 3},
                                      {"PinOutType": "none", "counterCycle": 5}]})";
const QString relay0 = boardop::relay[0];
const QString key0 = boardop::key[0];
const QString key1 = boardop::key[1];
const int longWaitMs = 60000;

// One dial-plan exchange with big numbers in both lists, and what it answers.
const int bigInImit = 20, bigInBlack = 5;
QByteArray exchange() {
    return "dialplan\n" + QByteArray("1024\n").repeated(bigInImit) + "-1\n" +
           QByteArray("1024\n").repeated(bigInBlack) + "-1\n";
}
// Exchanges sent each tick of the load: more than the console has to do
// between two ticks, few enough for their replies to fit the pipe unread.
const int exchangesPerTick = 3;
// Changes of each key under load.
const int loadChanges = 16;

// A driver run with both keys pressed from the start.
struct Driver : RelayDriver {
    Driver() {
        board.setKey(0, true);
        board.setKey(1, true);
        start(config);
    }

    QStringList keyLines(int key) const {
        QStringList lines;
        for (const QString& line : run->texts(afterBanner)) {
            if (line == keyReport(key, false) || line == keyReport(key, true)) {
                lines << line;
            }
        }
        return lines;
    }
};

// Keeps a driver busy from a thread of its own: both keys flip once a tick
// (each flip waits for a tick to read it) while dial-plan exchanges pour in.
// It only writes key files and the driver's input, and reads the board trace
// (the sandbox's reader is locked), so it shares nothing with the test thread.
class Load {
  public:
    void start(Driver& d) {
        thread = std::thread([this, &d] {
            error = run(d.board, d.run->inputFd());
            done = true;
        });
    }
    // Waits for the load to end; what went wrong, or an empty text.
    QString finish() {
        if (!QTest::qWaitFor([&] { return done.load(); }, longWaitMs)) {
            return "the load did not end";
        }
        thread.join();
        return error;
    }
    int exchanges() const { return sent.load(); }
    ~Load() {
        if (thread.joinable()) {
            thread.join();
        }
    }

  private:
    QString run(const BoardSandbox& board, int inputFd) {
        bool level = false;
        for (int change = 0; change < loadChanges; ++change) {
            QString failed = ProgramRun::writeAll(inputFd, exchange().repeated(exchangesPerTick));
            if (!failed.isEmpty()) {
                return failed;
            }
            sent += exchangesPerTick;
            level = !level;
            if (!board.setKey(0, level) || !board.setKey(1, !level)) {
                return "cannot change the key files";
            }
            bool seen = board.waitUntilTrace(
                [&](const BoardTrace& t) {
                    return t.lastValue(key0) == int(level) && t.lastValue(key1) == int(!level);
                },
                longWaitMs);
            if (!seen) {
                return QString("change %1 of the keys was never read").arg(change);
            }
        }
        return {};
    }

    std::thread thread;
    std::atomic<bool> done{false};
    std::atomic<int> sent{0};
    QString error;
};

} // namespace

class TestCycleE2e : public TogetherTest {
    Q_OBJECT

  public:
    // The two drivers start at once (see together.h).
    TestCycleE2e() {
        for (const char* f : {"startStatesAreSilent", "keyChangeReportedWithinTwoTicks",
                              "offPulseAndMissingOutput", "tickShapeAndRate"}) {
            together.plan(f, [this] {
                if (!driver) {
                    driver = std::make_unique<Driver>();
                }
            });
        }
        // The load begins with the cycle: input waits in the pipe, and the
        // first key change waits for the first reading.
        for (const char* f : {"wholeLinesUnderLoad", "tickShapeAndRate"}) {
            together.plan(f, [this] {
                if (!loaded) {
                    loaded = std::make_unique<Driver>();
                    load.start(*loaded);
                }
            });
        }
    }

  private:
    std::unique_ptr<Driver> driver;
    std::unique_ptr<Driver> loaded;
    Load load;

  private:
    void started() override {
        if (driver) {
            QVERIFY2(driver->ready(3), driver->why().constData());
        }
    }

  private slots:
    // Three ticks have read both keys pressed: no line for the state at start.
    void startStatesAreSilent() {
        ProgramRun& run = *driver->run;
        run.pump(0);
        QCOMPARE(driver->board.trace().only(key0).first().value, 1);
        QCOMPARE(driver->board.trace().only(key1).first().value, 1);
        QCOMPARE(run.texts(driver->afterBanner), QStringList());
    }

    void keyChangeReportedWithinTwoTicks() {
        ProgramRun& run = *driver->run;
        for (bool pressed : {false, true}) {
            long long sent = monotonicUs();
            QVERIFY(driver->board.setKey(0, pressed));
            QString line = keyReport(0, pressed);
            int at = run.waitForLine(line, longWaitMs, driver->afterBanner);
            QVERIFY2(at >= 0, qPrintable(line + ", " + driver->why()));
            long long delay = run.lines()[at].tUs - sent;
            QVERIFY2(delay <= 2 * TraceTiming::tickUs + TraceTiming::slackUs(),
                     qPrintable(QString("%1 ms").arg(delay / 1000)));
        }
        QCOMPARE(run.texts(driver->afterBanner),
                 QStringList({keyReport(0, false), keyReport(0, true)}));
    }

    void offPulseAndMissingOutput() {
        long long sent = monotonicUs();
        driver->run->write("open 0\nopen 1\n");
        // The pulse, and a tick more in which a write too many would show.
        QVERIFY2(TraceTiming::waitForWrite(driver->board, relay0, sent, 4) &&
                     TraceTiming::waitPastTicks(driver->board, 1),
                 driver->why().constData());
        BoardTrace trace = driver->board.trace();
        QString wrong = TraceTiming::checkWrites(trace, relay0, sent, monotonicUs(), {0, 0, 0, 1});
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
        QCOMPARE(trace.only(boardop::relay[1]).size(), 0);
    }

    // Under the load (see Load): every line arrives whole, the replies in
    // their pairs, and one key line for each change a tick read.
    void wholeLinesUnderLoad() {
        QString failed = load.finish();
        QVERIFY2(failed.isEmpty(), qPrintable(failed + "; " + loaded->why()));
        Driver& d = *loaded;
        QVERIFY2(d.ready(3), d.why().constData());
        const int exchanges = load.exchanges();
        BoardTrace trace = d.board.trace();
        // The keys are still now: once the replies are all in, so are the key lines.
        QVERIFY2(
            QTest::qWaitFor(
                [&] {
                    d.run->pump(0);
                    return d.run->texts(d.afterBanner).count(listEnded) >= 2 * exchanges &&
                           d.keyLines(0).size() >= TraceTiming::expectedKeyLines(trace, 0).size() &&
                           d.keyLines(1).size() >= TraceTiming::expectedKeyLines(trace, 1).size();
                },
                longWaitMs),
            d.why().constData());

        const QHash<QString, QString> followedBy{{dialPlanOpened[0], dialPlanOpened[1]},
                                                 {blacklistOpened[0], blacklistOpened[1]},
                                                 {roomsEnded[0], roomsEnded[1]}};
        const QSet<QString> known = replies + keyReports;
        const QStringList lines = d.run->texts(d.afterBanner);
        for (int i = 0; i < lines.size(); ++i) {
            QString where = QString("line %1: %2").arg(i).arg(lines[i]);
            QVERIFY2(known.contains(lines[i]), qPrintable(where));
            if (followedBy.contains(lines[i])) {
                QVERIFY2(i + 1 < lines.size() && lines[i + 1] == followedBy[lines[i]],
                         qPrintable(where));
            }
        }
        QCOMPARE(lines.count(bigNumber), exchanges * (bigInImit + bigInBlack));
        QCOMPARE(lines.count(listEnded), 2 * exchanges);

        // One line for every tick whose reading differs, none lost or doubled.
        trace = d.board.trace();
        QVERIFY(trace.wellFormed());
        for (int key = 0; key < 2; ++key) {
            QStringList expected = TraceTiming::expectedKeyLines(trace, key);
            QCOMPARE(d.keyLines(key), expected);
            QVERIFY2(expected.size() >= loadChanges - 1,
                     qPrintable(QString("only %1 changes").arg(expected.size())));
        }
        qInfo("%d exchanges, %d key lines", exchanges,
              int(d.keyLines(0).size() + d.keyLines(1).size()));
    }

    void tickShapeAndRate() {
        for (Driver* d : {driver.get(), loaded.get()}) {
            QVERIFY(d);
            BoardTrace trace = d->board.trace();
            QString wrong = TraceTiming::checkTickShape(trace);
            QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
            double rate = TraceTiming::tickRate(trace);
            qInfo("%.2f ticks a second", rate);
            QVERIFY2(rate > 5 && rate < 11, qPrintable(QString::number(rate)));
            QVERIFY2(d->run->running(), d->why().constData());
            QByteArray errors = d->run->errorOutput();
            QVERIFY2(!errors.contains("Sanitizer") && !errors.contains("runtime error"),
                     errors.constData());
        }
    }

    // A load that cannot go on is ended with its driver.
    void cleanupTestCase() {
        if (loaded) {
            loaded->run->signal(SIGKILL);
        }
    }
};

QTEST_GUILESS_MAIN(TestCycleE2e)
#include "tst_cycle_e2e.moc"
