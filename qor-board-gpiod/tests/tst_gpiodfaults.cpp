// The GPIO board library and qor-board-lines where no GPIO line is needed:
// every fault of the map ends the process with its status and one line that
// names the map, the line and the signal; a call before its init ends it
// too; the delay sleeps through signals. What the library does with lines is
// tested on a stand-in for libgpiod (tst_gpiodlines).
#include "childrun.h"
#include "libqor-board.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/stat.h>
#include <sys/time.h>

using childrun::Run;
using childrun::run;

namespace {

const QString probe = BOARD_PROBE;
const QString linesProgram = BOARD_LINES;
const QString defaultMap = "/etc/qor-board/lines.conf";
const int exConfig = 78;
const int exSoftware = 70;
const int exUsage = 64;

int caught = 0;
void count(int) {
    ++caught;
}

} // namespace

class TestGpiodFaults : public QObject {
    Q_OBJECT

    QTemporaryDir dir;

    // The map file of a case, "@" in texts stands for its path.
    QString writeMap(const QByteArray& content) {
        QString path = dir.filePath(QTest::currentDataTag());
        path.replace(' ', '_');
        if (content.isNull()) {
            return path + ".missing";
        }
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(content) != content.size()) {
            qFatal("cannot write %s", qPrintable(path));
        }
        return path;
    }

    static void check(const Run& r, int status, const QString& err, const QString& call) {
        QVERIFY2(r.status == status && r.err == err,
                 qPrintable(QString("%1 ended with status %2 (expected %3); its standard "
                                    "error:\n%4expected:\n%5")
                                .arg(call)
                                .arg(r.status)
                                .arg(status)
                                .arg(r.err, err)));
    }

  private slots:
    void library_data() {
        QTest::addColumn<QString>("calls");
        QTest::addColumn<QByteArray>("map");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("err");
        const QByteArray relays = "relay_0 gpiochip0:0\nrelay_1 gpiochip0:1\n";
        QTest::newRow("missing map")
            << "lib" << QByteArray() << exConfig << "@: No such file or directory";
        QTest::newRow("first fault of the map")
            << "lib" << QByteArray("# map\nled gpiochip0:1 pullup\nrelay_9 x:1\n") << exConfig
            << "@:2: led: unknown flag \"pullup\" (the flags are active-low, pull-up, "
               "pull-down, bias-disable, open-drain, open-source and debounce=MS)";
        QTest::newRow("lib init touches no chip")
            << "lib" << QByteArray("led gpiochip99:0\n") << 0 << "";
        QTest::newRow("relay driver without a key")
            << "lib gpio" << relays + "key_0 gpiochip99:2\nled gpiochip99:3\n"
            << exConfig << "@: key_1: not in the map";
        QTest::newRow("blinker with only relays")
            << "lib ledinit" << relays << exConfig << "@: led: not in the map";
        QTest::newRow("blinker on the commented example")
            << "lib ledinit" << QByteArray("#led gpiochip0:1\n") << exConfig
            << "@: led: not in the map";
        QTest::newRow("map read by the first init if lib init is left out")
            << "ledinit" << QByteArray() << exConfig << "@: No such file or directory";
        QTest::newRow("unknown chip name") << "lib ledinit" << QByteArray("\nled gpiochip99:0\n")
                                           << exConfig << "@:2: led: no GPIO chip \"gpiochip99\"";
        QTest::newRow("unknown chip path")
            << "lib ledinit" << QByteArray("led /dev/gpiochip98:0\n") << exConfig
            << "@:1: led: no GPIO chip \"/dev/gpiochip98\"";
        QTest::newRow("not a chip") << "lib ledinit" << QByteArray("led /dev/null:0\n") << exConfig
                                    << "@:1: led: \"/dev/null\" is not a GPIO chip (a device the "
                                       "kernel does not list as one)";
        QTest::newRow("a file is not a chip, and is not opened")
            << "lib ledinit" << QByteArray("led /etc/passwd:0\n") << exConfig
            << "@:1: led: \"/etc/passwd\" is not a GPIO chip (not a character device)";
        QTest::newRow("unknown chip label")
            << "lib ledinit" << QByteArray("led no-such-label:0\n") << exConfig
            << "@:1: led: no GPIO chip labelled \"no-such-label\"";
        QTest::newRow("unknown line name")
            << "lib ledinit" << QByteArray("led NO_SUCH_LINE_NAME\n") << exConfig
            << "@:1: led: no GPIO line named \"NO_SUCH_LINE_NAME\"";
        QTest::newRow("relay driver: the first signal in order")
            << "lib gpio" << QByteArray("key_1 K1\nkey_0 K0\nrelay_1 gpiochip99:1\nrelay_0 R0\n")
            << exConfig << "@:4: relay_0: no GPIO line named \"R0\"";
        QTest::newRow("LED before its init")
            << "lib led=1" << QByteArray("led gpiochip99:0\n") << exSoftware
            << "board_gpio_led called before board_gpio_led_init";
        QTest::newRow("relay before the init")
            << "relay1=0" << QByteArray() << exSoftware
            << "board_gpio_set_relay_1 called before board_gpio_init";
        QTest::newRow("key before the init")
            << "key0" << QByteArray() << exSoftware
            << "board_gpio_get_key_0 called before board_gpio_init";
    }

    // Through a program that makes the board calls it is given.
    void library() {
        QFETCH(QString, calls);
        QFETCH(QByteArray, map);
        QFETCH(int, status);
        QFETCH(QString, err);
        QString path = writeMap(map);
        QString expected =
            err.isEmpty() ? err : "board-probe-gpiod: " + err.replace("@", path) + "\n";
        QStringList args = calls.split(' ');
        check(run(probe, args, path), status, expected, "board-probe-gpiod " + calls);
    }

    // A message longer than the report's buffer keeps its end.
    void longMessageKeepsItsReason() {
        QString path = dir.path();
        for (int i = 0; i < 700; ++i) {
            path += "/.";
        }
        path += "/missing.conf";
        Run r = run(probe, {"lib"}, path);
        QVERIFY2(r.status == exConfig && r.err.startsWith("board-probe-gpiod: ") &&
                     r.err.endsWith("/missing.conf: No such file or directory\n") &&
                     r.err.size() < 1024,
                 qPrintable(QString("status %1, standard error:\n%2").arg(r.status).arg(r.err)));
    }

    // A FIFO as the map is refused at once: nothing opens it for writing,
    // so an open that waited for a writer would never return.
    void libraryFifoMap() {
        QString path = dir.filePath("fifo.conf");
        QVERIFY2(mkfifo(path.toLocal8Bit(), 0600) == 0, strerror(errno));
        check(run(probe, {"lib"}, path), exConfig,
              "board-probe-gpiod: " + path + ": not a regular file, not a line map\n",
              "board-probe-gpiod lib");
    }

    void libraryEmptyMapVariable() {
        check(run(probe, {"lib"}, QString("")), exConfig,
              "board-probe-gpiod: QOR_BOARD_LINES is empty\n", "board-probe-gpiod lib");
    }

    void libraryDefaultMap() {
        if (QFile::exists(defaultMap)) {
            QSKIP("this machine has /etc/qor-board/lines.conf");
        }
        check(run(probe, {"lib"}, QString()), exConfig,
              "board-probe-gpiod: " + defaultMap + ": No such file or directory\n",
              "board-probe-gpiod lib");
    }

    void checker_data() {
        QTest::addColumn<QString>("args");
        QTest::addColumn<QByteArray>("map");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("err");
        QTest::newRow("missing map")
            << "@" << QByteArray() << exConfig << "@: No such file or directory";
        QTest::newRow("the map from the environment")
            << "" << QByteArray() << exConfig << "@: No such file or directory";
        QTest::newRow("every fault of the map")
            << "@" << QByteArray("led gpiochip0:\nled gpiochip0:1\nkey_0 K0 active-low\nkey_0 K\n")
            << exConfig
            << "@:1: led: no line offset after \"gpiochip0:\"\n"
               "@:4: key_0: given twice (first on line 3)";
        QByteArray services;
        QString tenShown;
        for (int i = 1; i <= 300; ++i) {
            services += "echo " + QByteArray::number(i) + "/tcp\n";
            if (i <= 10) {
                tenShown += QString("@:%1: echo: unknown signal (the signals are relay_0, relay_1, "
                                    "key_0, key_1 and led)\n")
                                .arg(i);
            }
        }
        QTest::newRow("another text file: ten faults, then their count")
            << "@" << services << exConfig
            << tenShown + "@: 290 more faults not shown (is it a line map?)";
        QTest::newRow("every signal missing or unknown")
            << "@"
            << QByteArray("relay_0 gpiochip99:0\nrelay_1 /dev/gpiochip99:1\nkey_1 KEY1 pull-up\n"
                          "led no-such-label:3\n")
            << exConfig
            << "@: key_0: not in the map\n"
               "@:1: relay_0: no GPIO chip \"gpiochip99\"\n"
               "@:2: relay_1: no GPIO chip \"/dev/gpiochip99\"\n"
               "@:3: key_1: no GPIO line named \"KEY1\"\n"
               "@:4: led: no GPIO chip labelled \"no-such-label\"";
        QTest::newRow("two files") << "@ @" << QByteArray("") << exUsage << "usage";
        QTest::newRow("an option") << "-x" << QByteArray("") << exUsage << "usage";
        QTest::newRow("help") << "--help" << QByteArray("") << 0 << "";
    }

    void checker() {
        QFETCH(QString, args);
        QFETCH(QByteArray, map);
        QFETCH(int, status);
        QFETCH(QString, err);
        QString path = writeMap(map);
        QString expected;
        if (err == "usage") {
            expected = "usage: qor-board-lines [FILE]\n";
        } else if (!err.isEmpty()) {
            for (const QString& line : err.split('\n')) {
                expected += "qor-board-lines: " + QString(line).replace("@", path) + "\n";
            }
        }
        QStringList argv = args.isEmpty() ? QStringList() : args.replace("@", path).split(' ');
        Run r = run(linesProgram, argv, path);
        if (err == "usage") {
            r.err = r.err.section('\n', 0, 0) + "\n";
        }
        check(r, status, expected, "qor-board-lines " + args);
        // The table is printed only when a line was found; help goes to
        // standard output.
        QCOMPARE(r.out.startsWith("usage: "), args == "--help");
        QVERIFY2(args == "--help" || r.out.isEmpty(), qPrintable(r.out));
    }

    // A delay that signals interrupt still lasts its whole time.
    void delaySleepsThroughSignals() {
        struct sigaction action = {};
        action.sa_handler = count;
        sigemptyset(&action.sa_mask);
        QCOMPARE(sigaction(SIGALRM, &action, nullptr), 0);
        itimerval every20ms{{0, 20000}, {0, 20000}};
        QCOMPARE(setitimer(ITIMER_REAL, &every20ms, nullptr), 0);
        QElapsedTimer clock;
        clock.start();
        board_delay_ms(300);
        qint64 elapsed = clock.elapsed();
        itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
        QVERIFY2(caught > 0, "no signal arrived during the delay");
        QVERIFY2(elapsed >= 300, qPrintable(QString("the delay ended after %1 ms").arg(elapsed)));
    }
};

QTEST_GUILESS_MAIN(TestGpiodFaults)
#include "tst_gpiodfaults.moc"
