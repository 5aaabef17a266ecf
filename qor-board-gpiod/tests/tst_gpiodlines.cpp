// The GPIO board library and qor-board-lines on a stand-in for libgpiod
// (fakegpioline.cpp), whose log shows every request, release, set and get: which
// lines a program requests, how (direction, starting level, flags, consumer)
// and in which order; that a held line or a refused request stops it before
// any output is driven; that a failing set or get ends it once, with status
// 69, and nothing after it is done; that a chip the user may not open ends
// it with 77 and says what to do; and that the checker's moment on a key
// line never makes a program (or another checker) fail.
#include "childrun.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

using childrun::Run;

namespace {

const int exConfig = 78;
const int exUnavailable = 69;
const int exNoPerm = 77;
const QString denied = "Permission denied (add the user to the group gpio; see "
                       "qor-board-gpiod(7))";

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
// Two chips of four lines, labelled a and b.
const QString twoChips = "chip=gpiochip0,a,4;chip=gpiochip1,b,4;";

// The checker's table: columns two blanks apart, as wide as their widest.
QString table(const QList<QStringList>& rows) {
    QList<int> width;
    for (const QStringList& row : rows) {
        for (int i = 0; i < row.size(); ++i) {
            width.size() > i ? width[i] = qMax(width[i], row[i].size())
                             : (width << row[i].size(), 0);
        }
    }
    QString out;
    for (const QStringList& row : rows) {
        for (int i = 0; i < row.size(); ++i) {
            out += i + 1 < row.size() ? row[i].leftJustified(width[i] + 2) : row[i] + "\n";
        }
    }
    return out;
}

const QStringList heading{"SIGNAL", "CHIP",   "LABEL", "LINE",  "NAME",
                          "FLAGS",  "HOLDER", "VALUE", "ACCESS"};

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

    // An expected standard error or log of "~..." is a pattern for the whole
    // text.
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
                     errMatches(r.log, log),
                 qPrintable(why));
    }

    static void libraryColumns() {
        QTest::addColumn<QString>("calls");
        QTest::addColumn<QString>("fake");
        QTest::addColumn<QByteArray>("lineMap");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("err");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("log");
    }

    // Through the simulated board's probe program, built on the stand-in.
    void runLibrary() {
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

  private slots:
    void library_data() {
        libraryColumns();
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
        QTest::newRow("a key debounced by the kernel")
            << "lib gpio" << chip << QByteArray(map).replace("pull-down", "debounce=30") << 0 << ""
            << ""
            << "request gpiochip0 2 input active-low,pull-up P\n"
               "request gpiochip0 3 input debounce=30 P\n" +
                   relayRequests;
        QTest::newRow("debounce refused by a backend without it, nothing requested")
            << "lib gpio" << chip + "nodebounce"
            << QByteArray(map).replace("pull-down", "debounce=30") << exConfig
            << "P: @:4: key_1: \"debounce=\" needs libgpiod 2; this build has libgpiod 1\n"
            << ""
            << "";
        // The chip a search opened is the one used: its path is not opened
        // again, so a device swapped in meanwhile is never opened.
        QTest::newRow("a chip by label opened once")
            << "lib ledinit" << twoChips + "vanish=gpiochip1" << QByteArray("led b:1\n") << 0 << ""
            << ""
            << "request gpiochip1 1 output 0 - P\n";
        QTest::newRow("a line by name opened once")
            << "lib ledinit" << twoChips + "name=gpiochip1,2,L;vanish=gpiochip1"
            << QByteArray("led L\n") << 0 << ""
            << ""
            << "request gpiochip1 2 output 0 - P\n";
        QTest::newRow("a chip without lines")
            << "lib ledinit"
            << "chip=gpiochip0,empty,0" << QByteArray("led gpiochip0:0\n") << exConfig
            << "P: @:1: led: gpiochip0 has no line 0 (it has no lines)\n"
            << ""
            << "";
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

    void library() { runLibrary(); }

    // A chip the user may not open: status 77, the chip that refused and
    // what to do, in every way of finding a chip; only when it is needed.
    void access_data() {
        libraryColumns();
        QTest::newRow("a chip by name")
            << "lib gpio" << chip + "deny=gpiochip0" << map << exNoPerm
            << "P: @:1: relay_0: cannot open GPIO chip \"gpiochip0\": " + denied + "\n"
            << ""
            << "";
        QTest::newRow("a chip by path")
            << "lib ledinit" << chip + "deny=gpiochip0" << QByteArray("led /dev/gpiochip0:7\n")
            << exNoPerm << "P: @:1: led: cannot open GPIO chip \"/dev/gpiochip0\": " + denied + "\n"
            << ""
            << "";
        QTest::newRow("searching by label: the chip that refused")
            << "lib ledinit" << twoChips + "deny=gpiochip0" << QByteArray("led qor-u:1\n")
            << exNoPerm
            << "P: @:1: led: cannot search the GPIO chips for the label \"qor-u\": gpiochip0: " +
                   denied + "\n"
            << ""
            << "";
        QTest::newRow("searching by line name: the chip that refused")
            << "lib ledinit" << twoChips + "deny=gpiochip1" << QByteArray("led NONE\n") << exNoPerm
            << "P: @:1: led: cannot search the GPIO chips for the line \"NONE\": gpiochip1: " +
                   denied + "\n"
            << ""
            << "";
        QTest::newRow("the label found past a chip that refused")
            << "lib ledinit" << twoChips + "deny=gpiochip0" << QByteArray("led b:1\n") << 0 << ""
            << ""
            << "request gpiochip1 1 output 0 - P\n";
        QTest::newRow("another program's chip")
            << "lib ledinit" << twoChips + "deny=gpiochip0"
            << QByteArray("relay_0 gpiochip0:0\nled gpiochip1:3\n") << 0 << ""
            << ""
            << "request gpiochip1 3 output 0 - P\n";
    }

    void access() { runLibrary(); }

    // qor-board-lines holds a free key line for the moment of reading it,
    // under its own name: a program waits that out (boundedly), and refuses
    // any other holder at once.
    void sharing_data() {
        libraryColumns();
        const QString key0 = "request gpiochip0 2 input active-low,pull-up P\n";
        const QString rest = "request gpiochip0 3 input pull-down P\n" + relayRequests;
        QTest::newRow("a key the checker holds: waited for")
            << "lib gpio" << chip + "held=gpiochip0,2,qor-board-lines,2" << map << 0 << ""
            << "" << key0 + key0 + key0 + rest;
        QTest::newRow("a key the checker takes as it is requested: waited for")
            << "lib gpio" << chip + "race=gpiochip0,2,qor-board-lines,1" << map << 0 << ""
            << "" << key0 + key0 + rest;
        QTest::newRow("a key free again by the time it is looked at")
            << "lib gpio" << chip + "race=gpiochip0,2,gpioset,1" << map << 0 << ""
            << "" << key0 + key0 + rest;
        QTest::newRow("the checker's hold outlasting the wait: refused, no relay driven")
            << "lib gpio" << chip + "held=gpiochip0,2,qor-board-lines" << map << exUnavailable
            << "P: key_0 (gpiochip0 line 2) is held by \"qor-board-lines\"\n"
            << ""
            << "~(" + key0 + ")+";
        QTest::newRow("a program taking a key as it is requested: refused at once")
            << "lib gpio" << chip + "race=gpiochip0,2,qor-driver-relay" << map << exUnavailable
            << "P: key_0 (gpiochip0 line 2) is held by \"qor-driver-relay\"\n"
            << "" << key0;
        QTest::newRow("a program holding the LED: refused at once")
            << "lib ledinit" << chip + "held=gpiochip0,7,qora_led_driver" << map << exUnavailable
            << "P: led (gpiochip0 line 7) is held by \"qora_led_driver\"\n"
            << ""
            << "";
    }

    void sharing() { runLibrary(); }

    void checker_data() {
        QTest::addColumn<QString>("fake");
        QTest::addColumn<QByteArray>("lineMap");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("err");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("log");
        const QString readKey0 = "request gpiochip0 2 input active-low,pull-up qor-board-lines\n";
        const QString readKey1 = "request gpiochip0 3 input pull-down qor-board-lines\n"
                                 "get gpiochip0 3\nrelease gpiochip0 3\n";
        const QString got0 = "get gpiochip0 2\nrelease gpiochip0 2\n";
        const QStringList relay0{
            "relay_0", "gpiochip0", "gpio-sim.0-node0", "0", "-", "-", "unused", "-", "yes"};
        const QStringList relay1{"relay_1", "gpiochip0", "gpio-sim.0-node0",
                                 "1",       "-",         "active-low",
                                 "unused",  "-",         "yes"};
        const QStringList led{"led", "gpiochip0", "gpio-sim.0-node0", "7", "STATUS", "-", "unused",
                              "-",   "yes"};
        auto key0 = [](const QString& holder, const QString& value) {
            return QStringList{"key_0", "gpiochip0", "gpio-sim.0-node0",
                               "2",     "-",         "active-low,pull-up",
                               holder,  value,       "yes"};
        };
        auto key1 = [](const QString& value) {
            return QStringList{"key_1",  "gpiochip0", "gpio-sim.0-node0",
                               "3",      "-",         "pull-down",
                               "unused", value,       "yes"};
        };
        // The one table spelt out whole, for its layout.
        QTest::newRow("only a free input key is read")
            << chip + "output=gpiochip0,0;held=gpiochip0,1,qor-driver-relay;value=gpiochip0,2,1;"
                      "output=gpiochip0,3;held=gpiochip0,7,"
            << map << 0 << ""
            << "SIGNAL   CHIP       LABEL             LINE  NAME    FLAGS               HOLDER   "
               "         VALUE  ACCESS\n"
               "relay_0  gpiochip0  gpio-sim.0-node0  0     -       -                   unused   "
               "         -      yes\n"
               "relay_1  gpiochip0  gpio-sim.0-node0  1     -       active-low          "
               "qor-driver-relay  -      yes\n"
               "key_0    gpiochip0  gpio-sim.0-node0  2     -       active-low,pull-up  unused   "
               "         1      yes\n"
               "key_1    gpiochip0  gpio-sim.0-node0  3     -       pull-down           unused   "
               "         -      yes\n"
               "led      gpiochip0  gpio-sim.0-node0  7     STATUS  -                   (unnamed)"
               "         -      yes\n"
            << readKey0 + got0;
        QTest::newRow("a key the kernel refuses")
            << chip + "refuse=gpiochip0,2,22" << map << exUnavailable
            << "P: key_0 (gpiochip0 line 2): the kernel refused the request: Invalid argument\n"
            << table({heading, relay0, relay1, key0("unused", "?"), key1("0"), led})
            << readKey0 + readKey1;
        // Two checkers at once, or a checker beside a starting driver.
        QTest::newRow("a key another checker takes for a moment: read after it")
            << chip + "race=gpiochip0,2,qor-board-lines,1;value=gpiochip0,2,1" << map << 0 << ""
            << table({heading, relay0, relay1, key0("unused", "1"), key1("0"), led})
            << readKey0 + readKey0 + got0 + readKey1;
        QTest::newRow("a key another checker holds: shown held")
            << chip + "held=gpiochip0,2,qor-board-lines" << map << 0 << ""
            << table({heading, relay0, relay1, key0("qor-board-lines", "-"), key1("0"), led})
            << readKey1;
        QTest::newRow("a key the driver takes as it is read: shown held, no fault")
            << chip + "race=gpiochip0,2,qor-driver-relay" << map << 0 << ""
            << table({heading, relay0, relay1, key0("qor-driver-relay", "-"), key1("0"), led})
            << readKey0 + readKey1;
        // What the map tells of the lines on a chip the user may not open.
        const QByteArray chips = "relay_0 gpiochip1:0\nrelay_1 b:1\nkey_0 gpiochip0:2 active-low "
                                 "pull-up\nkey_1 /dev/gpiochip1:3 pull-down\nled NONE\n";
        QTest::newRow("chips the user may not open")
            << twoChips + "deny=gpiochip1" << chips << exNoPerm
            << "P: @:1: relay_0: cannot open GPIO chip \"gpiochip1\": " + denied +
                   "\n"
                   "P: @:2: relay_1: cannot search the GPIO chips for the label \"b\": "
                   "gpiochip1: " +
                   denied +
                   "\n"
                   "P: @:4: key_1: cannot open GPIO chip \"/dev/gpiochip1\": " +
                   denied +
                   "\n"
                   "P: @:5: led: cannot search the GPIO chips for the line \"NONE\": gpiochip1: " +
                   denied + "\n"
            << table({heading,
                      {"relay_0", "gpiochip1", "?", "0", "?", "-", "?", "?", "no"},
                      {"relay_1", "?", "b", "1", "?", "-", "?", "?", "no"},
                      {"key_0", "gpiochip0", "a", "2", "-", "active-low,pull-up", "unused", "0",
                       "yes"},
                      {"key_1", "/dev/gpiochip1", "?", "3", "?", "pull-down", "?", "?", "no"},
                      {"led", "?", "?", "?", "NONE", "-", "?", "?", "no"}})
            << readKey0 + got0;
        QTest::newRow("a fault of the map outweighs a chip the user may not open")
            << twoChips + "deny=gpiochip1" << QByteArray("relay_0 gpiochip1:0\nled gpiochip7:1\n")
            << exConfig
            << "P: @: relay_1: not in the map\nP: @: key_0: not in the map\n"
               "P: @: key_1: not in the map\n"
               "P: @:1: relay_0: cannot open GPIO chip \"gpiochip1\": " +
                   denied + "\nP: @:2: led: no GPIO chip \"gpiochip7\"\n"
            << table({heading, {"relay_0", "gpiochip1", "?", "0", "?", "-", "?", "?", "no"}}) << "";
    }

    // qor-board-lines built on the stand-in.
    void checker() {
        QFETCH(QString, fake);
        QFETCH(QByteArray, lineMap);
        QFETCH(int, status);
        QFETCH(QString, err);
        QFETCH(QString, out);
        QFETCH(QString, log);
        const QString name = "qor-board-lines-fake";
        Result r = runFake(FAKE_LINES, {}, lineMap, fake);
        check(r, status, err.replace("P:", name + ":"), out, log, name);
    }
};

QTEST_GUILESS_MAIN(TestGpiodLines)
#include "tst_gpiodlines.moc"
