// The GPIO board library and qor-board-lines on a stand-in for libgpiod
// (fakegpiod.cpp), whose log shows every request, release, set and get: which
// lines a program requests, how (direction, starting level, flags, consumer)
// and in which order; that a held line or a refused request stops it before
// any output is driven; that a failing set or get ends it once, with status
// 69, and nothing after it is done.
#include "childrun.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

using childrun::Run;

namespace {

const int exConfig = 78;
const int exUnavailable = 69;

// One chip of eight lines; line 7 is named STATUS.
const QString chip = "chip=gpiochip0,gpio-sim.0-node0,8;name=gpiochip0,7,STATUS;";
// Every chip form and flag; each signal on the line of its number.
const QByteArray map = "relay_0  gpiochip0:0\n"
                       "relay_1  gpio-sim.0-node0:1  active-low\n"
                       "key_0    gpiochip0:2  active-low pull-up\n"
                       "key_1    /dev/gpiochip0:3  pull-down\n"
                       "led      STATUS\n";
const QString keyRequests = "request gpiochip0 2 input active-low,pull-up P\n"
                            "request gpiochip0 3 input pull-down P\n";
const QString relayRequests = "request gpiochip0 0 output 0 - P\n"
                              "request gpiochip0 1 output 0 active-low P\n";
const QString gpioRequests = keyRequests + relayRequests;
const QString ledRequest = "request gpiochip0 7 output 0 - P\n";

} // namespace

class TestGpiodLines : public QObject {
    Q_OBJECT

    QTemporaryDir dir;

    struct Result {
        Run run;
        QString log;
    };

    // Runs a program on the fake chips, with the map in a file.
    Result runFake(const QString& program, const QStringList& args, const QByteArray& content,
                   const QString& fake) {
        QString tag = QString(QTest::currentDataTag()).replace(' ', '_');
        QString mapPath = dir.filePath(tag + ".conf");
        QString logPath = dir.filePath(tag + ".log");
        QFile f(mapPath);
        if (!f.open(QIODevice::WriteOnly) || f.write(content) != content.size()) {
            qFatal("cannot write %s", qPrintable(mapPath));
        }
        f.close();
        Run r = childrun::run(program, args, mapPath,
                              {"QOR_FAKE_GPIO=" + fake, "QOR_FAKE_GPIO_LOG=" + logPath});
        QFile log(logPath);
        QString text = log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : "";
        r.err.replace(mapPath, "@");
        return {r, text};
    }

    // An expected standard error of "~..." is a pattern for the whole text.
    static bool errMatches(const QString& got, const QString& expected) {
        if (expected.startsWith('~')) {
            return QRegularExpression("\\A" + expected.mid(1) + "\\z").match(got).hasMatch();
        }
        return got == expected;
    }

    static void check(const Result& r, int status, const QString& err, const QString& out,
                      const QString& log, const QString& what) {
        QString why = QString("%1 ended with status %2 (expected %3)\nstandard error:\n%4"
                              "expected:\n%5\nstandard output:\n%6expected:\n%7\nlog:\n%8"
                              "expected:\n%9")
                          .arg(what)
                          .arg(r.run.status)
                          .arg(status)
                          .arg(r.run.err, err, r.run.out, out, r.log, log);
        QVERIFY2(r.run.status == status && errMatches(r.run.err, err) && r.run.out == out &&
                     r.log == log,
                 qPrintable(why));
    }

  private slots:
    void library_data() {
        QTest::addColumn<QString>("calls");
        QTest::addColumn<QString>("fake");
        QTest::addColumn<QByteArray>("lineMap");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("err");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("log");
        const QString relayCalls = "set gpiochip0 0 1\nset gpiochip0 0 1\nset gpiochip0 1 0\n"
                                   "get gpiochip0 2\nget gpiochip0 3\n";
        QTest::newRow("relay driver: keys, then relays at rest; each call one operation")
            << "lib gpio relay0=1 relay0=1 relay1=0 key0 key1" << chip + "value=gpiochip0,2,1"
            << map << 0 << ""
            << "key0 1\nkey1 0\n"
            << gpioRequests + relayCalls;
        QTest::newRow("LED blinker: the LED only")
            << "lib ledinit led=1 led=0" << chip << map << 0 << ""
            << "" << ledRequest + "set gpiochip0 7 1\nset gpiochip0 7 0\n";
        QTest::newRow("lib init requests nothing") << "lib" << chip << map << 0 << ""
                                                   << ""
                                                   << "";
        QTest::newRow("each line requested once")
            << "lib gpio gpio ledinit ledinit" << chip << map << 0 << ""
            << "" << gpioRequests + ledRequest;
        QTest::newRow("a held line: nothing requested")
            << "lib gpio" << chip + "held=gpiochip0,1,gpioset" << map << exUnavailable
            << "P: relay_1 (gpiochip0 line 1) is held by \"gpioset\"\n"
            << ""
            << "";
        QTest::newRow("a holder without a name")
            << "lib gpio" << chip + "held=gpiochip0,3," << map << exUnavailable
            << "P: key_1 (gpiochip0 line 3) is in use (by a holder without a name)\n"
            << ""
            << "";
        QTest::newRow("a key refused: no relay driven")
            << "lib gpio" << chip + "refuse=gpiochip0,2,22" << map << exUnavailable
            << "P: key_0 (gpiochip0 line 2): the kernel refused the request: Invalid argument\n"
            << ""
            << "request gpiochip0 2 input active-low,pull-up P\n";
        QTest::newRow("a relay refused")
            << "lib gpio" << chip + "refuse=gpiochip0,1,95" << map << exUnavailable
            << "P: relay_1 (gpiochip0 line 1): the kernel refused the request: Operation not "
               "supported\n"
            << "" << gpioRequests;
        QTest::newRow("taken while being requested")
            << "lib gpio" << chip + "race=gpiochip0,0,gpioset" << map << exUnavailable
            << "P: relay_0 (gpiochip0 line 0) is held by \"gpioset\"\n"
            << "" << keyRequests + "request gpiochip0 0 output 0 - P\n";
        QTest::newRow("a relay that cannot be set any more: nothing after it")
            << "lib gpio relay0=1 relay0=0 relay0=1" << chip + "fail=set,2,19" << map
            << exUnavailable << "P: relay_0 (gpiochip0 line 0): cannot set it: No such device\n"
            << "" << gpioRequests + "set gpiochip0 0 1\nset gpiochip0 0 0\n";
        QTest::newRow("a key that cannot be read")
            << "lib gpio key1 key0" << chip + "fail=get,1,19" << map << exUnavailable
            << "P: key_1 (gpiochip0 line 3): cannot read it: No such device\n"
            << "" << gpioRequests + "get gpiochip0 3\n";
        QTest::newRow("the LED gone")
            << "lib ledinit led=1" << chip + "fail=set,1,19" << map << exUnavailable
            << "P: led (gpiochip0 line 7): cannot set it: No such device\n"
            << "" << ledRequest + "set gpiochip0 7 1\n";
        QTest::newRow("offset past the last line")
            << "lib ledinit" << chip << QByteArray("led gpiochip0:8\n") << exConfig
            << "P: @:1: led: gpiochip0 has no line 8 (its lines are 0 to 7)\n"
            << ""
            << "";
        // The whole map's rule in each program, before any line is requested.
        const QByteArray ledOnRelay("relay_0 gpiochip0:7\nrelay_1 gpiochip0:1\nkey_0 gpiochip0:2\n"
                                    "key_1 gpiochip0:3\nled STATUS\n");
        const QString sameLine = "P: @:5: led: the same line as relay_0 (gpiochip0 line 7, map "
                                 "line 1)\n";
        QTest::newRow("the LED on a relay's line: the relay driver")
            << "lib gpio" << chip << ledOnRelay << exConfig << sameLine << ""
            << "";
        QTest::newRow("the LED on a relay's line: the LED blinker")
            << "lib ledinit" << chip << ledOnRelay << exConfig << sameLine << ""
            << "";
        QTest::newRow("the LED on a key's line, the key found by name")
            << "lib ledinit" << chip + "name=gpiochip0,5,DOOR"
            << QByteArray("key_0 DOOR\nled gpio-sim.0-node0:5\n") << exConfig
            << "P: @:2: led: the same line as key_0 (gpiochip0 line 5, map line 1)\n"
            << ""
            << "";
        QTest::newRow("another program's signal on a missing chip is its own fault")
            << "lib ledinit" << chip << QByteArray("relay_0 gpiochip9:0\nled STATUS\n") << 0 << ""
            << "" << ledRequest;
        QTest::newRow("a line by name: the first chip in order")
            << "lib ledinit"
            << "chip=gpiochip0,a,4;chip=gpiochip1,b,4;name=gpiochip1,2,L;name=gpiochip0,3,L"
            << QByteArray("led L\n") << 0 << ""
            << ""
            << "request gpiochip0 3 output 0 - P\n";
        QTest::newRow("a chip by label, on the second chip")
            << "lib ledinit"
            << "chip=gpiochip0,a,4;chip=gpiochip1,b,4" << QByteArray("led b:1\n") << 0 << ""
            << ""
            << "request gpiochip1 1 output 0 - P\n";
        QTest::newRow("outputs open-drain and open-source")
            << "lib ledinit" << chip << QByteArray("led STATUS open-source active-low\n") << 0 << ""
            << ""
            << "request gpiochip0 7 output 0 active-low,open-source P\n";
        QTest::newRow("a label and a line name echoed escaped")
            << "lib ledinit" << chip << QByteArray("led L\x1b[2J\xef\n") << exConfig
            << "P: @:1: led: no GPIO line named \"L\\x1b[2J\\xef\"\n"
            << ""
            << "";
        QTest::newRow("reported once while threads fail together")
            << "lib gpio ledinit threads=4:200" << chip + "fail=set,40,19,4" << map << exUnavailable
            << "~P: (relay_0 \\(gpiochip0 line 0\\)|led \\(gpiochip0 line 7\\)): cannot set it: "
               "No such device\n"
            << ""
            << "*";
    }

    // Through the simulated board's probe program, built on the stand-in.
    void library() {
        QFETCH(QString, calls);
        QFETCH(QString, fake);
        QFETCH(QByteArray, lineMap);
        QFETCH(int, status);
        QFETCH(QString, err);
        QFETCH(QString, out);
        QFETCH(QString, log);
        const QString name = "board-probe-gpiod-fake";
        Result r = runFake(FAKE_PROBE, calls.split(' '), lineMap, fake);
        if (log == "*") {
            log = r.log; // too many calls to list
        }
        check(r, status, err.replace("P:", name + ":"), out, log.replace(" P\n", " " + name + "\n"),
              name + " " + calls);
    }

    void checker_data() {
        QTest::addColumn<QString>("fake");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("err");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("log");
        QTest::newRow("only a free input key is read")
            << chip + "output=gpiochip0,0;held=gpiochip0,1,qor-driver-relay;value=gpiochip0,2,1;"
                      "output=gpiochip0,3;held=gpiochip0,7,"
            << 0 << ""
            << "SIGNAL   CHIP       LABEL             LINE  NAME    FLAGS               HOLDER   "
               "         VALUE\n"
               "relay_0  gpiochip0  gpio-sim.0-node0  0     -       -                   unused   "
               "         -\n"
               "relay_1  gpiochip0  gpio-sim.0-node0  1     -       active-low          "
               "qor-driver-relay  -\n"
               "key_0    gpiochip0  gpio-sim.0-node0  2     -       active-low,pull-up  unused   "
               "         1\n"
               "key_1    gpiochip0  gpio-sim.0-node0  3     -       pull-down           unused   "
               "         -\n"
               "led      gpiochip0  gpio-sim.0-node0  7     STATUS  -                   (unnamed)"
               "         -\n"
            << "request gpiochip0 2 input active-low,pull-up P\nget gpiochip0 2\n"
               "release gpiochip0 2\n";
        QTest::newRow("a key the kernel refuses")
            << chip + "refuse=gpiochip0,2,22" << exUnavailable
            << "P: key_0 (gpiochip0 line 2): the kernel refused the request: Invalid argument\n"
            << "SIGNAL   CHIP       LABEL             LINE  NAME    FLAGS               HOLDER  "
               "VALUE\n"
               "relay_0  gpiochip0  gpio-sim.0-node0  0     -       -                   unused  "
               "-\n"
               "relay_1  gpiochip0  gpio-sim.0-node0  1     -       active-low          unused  "
               "-\n"
               "key_0    gpiochip0  gpio-sim.0-node0  2     -       active-low,pull-up  unused  "
               "?\n"
               "key_1    gpiochip0  gpio-sim.0-node0  3     -       pull-down           unused  "
               "0\n"
               "led      gpiochip0  gpio-sim.0-node0  7     STATUS  -                   unused  "
               "-\n"
            << "request gpiochip0 2 input active-low,pull-up P\n"
               "request gpiochip0 3 input pull-down P\nget gpiochip0 3\nrelease gpiochip0 3\n";
    }

    // qor-board-lines built on the stand-in.
    void checker() {
        QFETCH(QString, fake);
        QFETCH(int, status);
        QFETCH(QString, err);
        QFETCH(QString, out);
        QFETCH(QString, log);
        const QString name = "qor-board-lines-fake";
        Result r = runFake(FAKE_LINES, {}, map, fake);
        check(r, status, err.replace("P:", name + ":"), out, log.replace(" P\n", " " + name + "\n"),
              name);
    }
};

QTEST_GUILESS_MAIN(TestGpiodLines)
#include "tst_gpiodlines.moc"
