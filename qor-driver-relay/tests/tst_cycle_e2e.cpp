// The cycle of the real driver on the simulated board: key reports, the tick
// as the board sees it, an off-pulse, and whole lines on standard output
// while keys and console replies compete for it. One driver run throughout;
// the test functions run in order on it.
#include "tracetiming.h"

#include <QElapsedTimer>
#include <QHash>
#include <QSet>
#include <QtTest>
#include <memory>

using namespace testkit;
using namespace testkit::protocol;

namespace {

// Relay 0 rests on and pulses off for 4 ticks; relay 1 is left out.
const QByteArray config = R"({"Rel": [{"PinOutType": "OFF_DELAY", "counterCycle": 4},
                                      {"PinOutType": "none", "counterCycle": 5}]})";

// One dial-plan exchange with big numbers in both lists, and what it answers.
const int bigInImit = 20, bigInBlack = 5;
QByteArray exchange() {
    return "dialplan\n" + QByteArray("1024\n").repeated(bigInImit) + "-1\n" +
           QByteArray("1024\n").repeated(bigInBlack) + "-1\n";
}

} // namespace

class TestCycleE2e : public QObject {
    Q_OBJECT

  private:
    BoardSandbox board;
    std::unique_ptr<ProgramRun> run;
    int afterBanner = -1;
    int exchanges = 0;

    QStringList keyLines(int key) const {
        QStringList lines;
        for (const QString& line : run->texts(afterBanner)) {
            if (line == keyReport(key, false) || line == keyReport(key, true)) {
                lines << line;
            }
        }
        return lines;
    }

  private slots:
    void initTestCase() {
        board.setKey(0, true);
        board.setKey(1, true);
        RunOptions o;
        o.program = RELAY_DRIVER;
        o.withConfig = true;
        o.config = config;
        run = std::make_unique<ProgramRun>(board, o);
        afterBanner = TraceTiming::waitForBanner(*run);
        QVERIFY(afterBanner > 0);
        QVERIFY(TraceTiming::waitForTicks(board, 3));
    }

    void startStatesAreSilent() {
        run->pump(500);
        QCOMPARE(board.trace().only("board_gpio_get_key_0").first().value, 1);
        QCOMPARE(board.trace().only("board_gpio_get_key_1").first().value, 1);
        QCOMPARE(run->texts(afterBanner), QStringList());
    }

    void keyChangeReportedWithinTwoTicks() {
        for (bool pressed : {false, true}) {
            long long sent = monotonicUs();
            board.setKey(0, pressed);
            QString line = keyReport(0, pressed);
            int at = run->waitForLine(line, 10000, afterBanner);
            QVERIFY2(at >= 0, qPrintable(line));
            long long delay = run->lines()[at].tUs - sent;
            QVERIFY2(delay <= 2 * TraceTiming::tickUs + TraceTiming::slackUs(),
                     qPrintable(QString("%1 ms").arg(delay / 1000)));
        }
        QCOMPARE(run->texts(afterBanner), QStringList({keyReport(0, false), keyReport(0, true)}));
    }

    void offPulseAndMissingOutput() {
        long long sent = monotonicUs();
        run->write("open 0\nopen 1\n");
        QVERIFY(TraceTiming::waitForWrite(board, "board_gpio_set_relay_0", sent));
        run->pump(int((5 * TraceTiming::tickUs + TraceTiming::slackUs()) / 1000));
        BoardTrace trace = board.trace();
        QString wrong = TraceTiming::checkWrites(trace, "board_gpio_set_relay_0", sent,
                                                 monotonicUs(), {0, 0, 0, 0, 1});
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
        QCOMPARE(trace.only("board_gpio_set_relay_1").size(), 0);
    }

    // Both keys flip about once a tick while the console answers big room
    // numbers as fast as it can.
    void wholeLinesUnderLoad() {
        QElapsedTimer t;
        t.start();
        bool level = false;
        while (t.elapsed() < 4000) {
            board.setKey(0, level);
            board.setKey(1, !level);
            level = !level;
            int answered = run->texts(afterBanner).count(blacklistAsked);
            if (exchanges - answered < 3) {
                run->write(exchange());
                ++exchanges;
            }
            run->pump(100);
        }
        QElapsedTimer drain;
        drain.start();
        while (run->texts(afterBanner).count(blacklistAsked) < exchanges &&
               drain.elapsed() < 30000) {
            run->pump(100);
        }
        run->pump(500); // the keys are still now; the last changes get reported

        // Every line is one of the known ones, and each two-line reply stays
        // together.
        const QHash<QString, QString> followedBy{{dialPlanOpened[0], dialPlanOpened[1]},
                                                 {blacklistOpened[0], blacklistOpened[1]},
                                                 {roomsEnded[0], roomsEnded[1]}};
        const QSet<QString> known = replies + keyReports;
        const QStringList lines = run->texts(afterBanner);
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
        BoardTrace trace = board.trace();
        QVERIFY(trace.wellFormed());
        for (int key = 0; key < 2; ++key) {
            QStringList expected = TraceTiming::expectedKeyLines(trace, key);
            QCOMPARE(keyLines(key), expected);
            QVERIFY2(expected.size() >= 15,
                     qPrintable(QString("only %1 changes").arg(expected.size())));
        }
        qInfo("%d exchanges, %d key lines", exchanges,
              int(keyLines(0).size() + keyLines(1).size()));
    }

    void tickShapeAndRate() {
        BoardTrace trace = board.trace();
        QString wrong = TraceTiming::checkTickShape(trace);
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
        double rate = TraceTiming::tickRate(trace);
        qInfo("%.2f ticks a second", rate);
        QVERIFY2(rate > 5 && rate < 11, qPrintable(QString::number(rate)));
        QVERIFY(run->running());
        QByteArray errors = run->errorOutput();
        QVERIFY2(!errors.contains("Sanitizer") && !errors.contains("runtime error"),
                 errors.constData());
    }
};

QTEST_GUILESS_MAIN(TestCycleE2e)
#include "tst_cycle_e2e.moc"
