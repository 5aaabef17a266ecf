// The cycle object's tick against a board of the test's own: scripted key
// readings and outputs that record when they are advanced.
#include "console.h"
#include "cyclepin.h"
#include "libqor-board.h"
#include "outputcapture.h"
#include "pinout.h"

#include <QBuffer>
#include <QThread>
#include <QTimer>
#include <QtTest>
#include <atomic>
#include <mutex>

namespace {

// Every key read and output step, in call order. The cycle thread writes it
// too, hence the lock.
std::mutex boardLock;
QStringList calls;
QList<uint8_t> keyReadings[2]; // readings still to come; the last one repeats
uint8_t keyLevel[2] = {0, 0};

void record(const QString& call) {
    std::lock_guard<std::mutex> lock(boardLock);
    calls << call;
}

QStringList takeCalls() {
    std::lock_guard<std::mutex> lock(boardLock);
    QStringList taken = calls;
    calls.clear();
    return taken;
}

uint8_t readKey(int key) {
    std::lock_guard<std::mutex> lock(boardLock);
    calls << QString("key%1").arg(key);
    if (!keyReadings[key].isEmpty()) {
        keyLevel[key] = keyReadings[key].takeFirst();
    }
    return keyLevel[key];
}

// "start|t1 t2 ...": the reading taken at construction, then one per tick.
QList<uint8_t> readings(const QString& script) {
    QList<uint8_t> out;
    const QStringList parts = script.split(QRegularExpression("[| ]"), Qt::SkipEmptyParts);
    for (const QString& p : parts) {
        out << static_cast<uint8_t>(p.toUInt());
    }
    return out;
}

class RecordingOut : public PinOut {
  public:
    explicit RecordingOut(int index) : PinOut(nullptr), index(index) {}

    bool process() override {
        record(QString("process%1").arg(index));
        thread = QThread::currentThread();
        return false;
    }

    std::atomic<QThread*> thread{nullptr};

  private:
    int index;
};

} // namespace

extern "C" uint8_t board_gpio_get_key_0(void) {
    return readKey(0);
}
extern "C" uint8_t board_gpio_get_key_1(void) {
    return readKey(1);
}

class TestCyclePin : public QObject {
    Q_OBJECT

  private:
    OutputCapture output;

    QStringList takeLines() { return output.takeLines(); }

    static void script(const QString& key0, const QString& key1) {
        std::lock_guard<std::mutex> lock(boardLock);
        keyReadings[0] = readings(key0);
        keyReadings[1] = readings(key1);
        calls.clear();
    }

  private slots:
    void initTestCase() { output.start(); }

    void init() { takeLines(); }

    void keyReports_data() {
        QTest::addColumn<QString>("key0");
        QTest::addColumn<QString>("key1");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("start states are silent") << "1|1 1 1"
                                                 << "1|1 1 1" << QStringList();
        QTest::newRow("mixed start states are silent") << "0|0 0"
                                                       << "1|1 1" << QStringList();
        // A press shorter than a tick is gone by the time the key is read.
        QTest::newRow("pressed and released between ticks") << "0|0 0"
                                                            << "0|0 0" << QStringList();
        QTest::newRow("one change, one line") << "0|1 1 1"
                                              << "0|0 0 0" << QStringList{"Key_0 state: 1"};
        QTest::newRow("release") << "0|0"
                                 << "1|0" << QStringList{"Key_1 state: 0"};
        QTest::newRow("bouncing") << "0|1 0 1 1 0"
                                  << "0|0 0 0 0 0"
                                  << QStringList{"Key_0 state: 1", "Key_0 state: 0",
                                                 "Key_0 state: 1", "Key_0 state: 0"};
        QTest::newRow("both in one tick, key 0 first")
            << "0|1"
            << "0|1" << QStringList{"Key_0 state: 1", "Key_1 state: 1"};
        QTest::newRow("key 1 first, then key 0")
            << "0|0 1"
            << "0|1 1" << QStringList{"Key_1 state: 1", "Key_0 state: 1"};
        QTest::newRow("any non-zero reading is 1")
            << "0|2 255 1 0"
            << "3|1 0" << QStringList{"Key_0 state: 1", "Key_1 state: 0", "Key_0 state: 0"};
    }

    void keyReports() {
        QFETCH(QString, key0);
        QFETCH(QString, key1);
        QFETCH(QStringList, lines);
        script(key0, key1);
        int ticks = qMax(readings(key0).size(), readings(key1).size()) - 1;
        RecordingOut out0(0), out1(1);
        CyclePin cycle(&out0, &out1);
        QCOMPARE(takeLines(), QStringList());
        for (int i = 0; i < ticks; ++i) {
            cycle.sl_timeout();
        }
        QCOMPARE(takeLines(), lines);
    }

    // Outputs first, then each key exactly once, whether or not it changed.
    void tickOrder() {
        script("0|1 0 1", "1|1 0 0");
        RecordingOut out0(0), out1(1);
        CyclePin cycle(&out0, &out1);
        QCOMPARE(takeCalls(), QStringList({"key0", "key1"}));
        for (int i = 0; i < 3; ++i) {
            cycle.sl_timeout();
            QCOMPARE(takeCalls(), QStringList({"process0", "process1", "key0", "key1"}));
        }
    }

    void missingOutputSkipped_data() {
        QTest::addColumn<bool>("has0");
        QTest::addColumn<bool>("has1");
        QTest::addColumn<QStringList>("tick");
        QTest::newRow("no output 0") << false << true << QStringList{"process1", "key0", "key1"};
        QTest::newRow("no output 1") << true << false << QStringList{"process0", "key0", "key1"};
        QTest::newRow("neither") << false << false << QStringList{"key0", "key1"};
    }

    void missingOutputSkipped() {
        QFETCH(bool, has0);
        QFETCH(bool, has1);
        QFETCH(QStringList, tick);
        script("0|1", "0|0");
        RecordingOut out0(0), out1(1);
        CyclePin cycle(has0 ? &out0 : nullptr, has1 ? &out1 : nullptr);
        takeCalls();
        cycle.sl_timeout();
        QCOMPARE(takeCalls(), tick);
        QCOMPARE(takeLines(), QStringList{"Key_0 state: 1"});
    }

    // Bound to a thread as the driver does it: the timer goes along with the
    // object and ticks on that thread.
    void ticksOnItsOwnThread() {
        script("0|0", "0|0");
        RecordingOut out0(0), out1(1);
        QThread thread;
        CyclePin* cycle = new CyclePin(&out0, &out1);
        QTimer* timer = cycle->findChild<QTimer*>();
        QVERIFY(timer);
        QObject::connect(&thread, SIGNAL(started()), cycle, SLOT(sl_start_cycle()));
        cycle->moveToThread(&thread);
        // Deleted on its own thread once that stops, timer and all.
        QObject::connect(&thread, SIGNAL(finished()), cycle, SLOT(deleteLater()));
        struct Stop {
            QThread& thread;
            ~Stop() {
                thread.quit();
                thread.wait(10000);
            }
        } stop{thread};
        thread.start();
        int ticks = 0; // gathered while waiting
        QTRY_VERIFY_WITH_TIMEOUT((ticks += takeCalls().count("process1")) >= 3, 10000);
        QVERIFY(timer->isActive());
        QCOMPARE(out0.thread.load(), &thread);
        QCOMPARE(out1.thread.load(), &thread);
        QCOMPARE(timer->thread(), &thread);
        QCOMPARE(timer->interval(), 100);
        QVERIFY(!timer->isSingleShot());
    }
};

QTEST_GUILESS_MAIN(TestCyclePin)
#include "tst_cyclepin.moc"
