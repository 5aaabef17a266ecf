// The line map reader: every form a line may take, and each fault with the
// line it is on and its text.
#include "lineflags.h"
#include "linemap.h"
#include "mapfile.h"

#include <QTemporaryDir>
#include <QtTest>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

namespace {

const char* const path = "/x/lines.conf";

QString location(const LineSpec& s) {
    if (s.chip.empty()) {
        return "line:" + QString::fromStdString(s.lineName);
    }
    static const char* const kinds[] = {"name", "path", "label"};
    return QString("%1:%2:%3")
        .arg(kinds[static_cast<int>(s.chipBy)], QString::fromStdString(s.chip))
        .arg(s.offset);
}

// "relay_0@1 name:gpiochip0:3 active-low pull-up" for each signal found, in
// signal order, then each error as it is reported.
QString render(const LineMap& map) {
    QStringList parts;
    for (int i = 0; i < signalCount; ++i) {
        if (const LineSpec* s = map.find(static_cast<Signal>(i))) {
            QString flags = QString::fromStdString(lineflags::text(*s));
            parts << QString("%1@%2 %3%4")
                         .arg(signalName(s->signal))
                         .arg(s->lineNumber)
                         .arg(location(*s), flags == "-" ? "" : " " + flags.replace(',', ' '));
        }
    }
    for (const LineMap::Error& e : map.errors()) {
        parts << QString::fromStdString(map.describe(e));
    }
    return parts.join(" | ");
}

const QString unknownSignal =
    "unknown signal (the signals are relay_0, relay_1, key_0, key_1 and led)";
const QString flags = " (the flags are active-low, pull-up, pull-down, bias-disable, open-drain, "
                      "open-source and debounce=MS)";

} // namespace

class TestLineMap : public QObject {
    Q_OBJECT

  private slots:
    void parse_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("expected");
        QTest::newRow("empty") << QByteArray() << "";
        QTest::newRow("every signal, every chip form")
            << QByteArray("relay_0 gpiochip0:3\nrelay_1 /dev/gpiochip1:4\n"
                          "key_0 gpio-sim.0-node0:5\nkey_1 KEY_1\nled 20000000.gpio:12\n")
            << "relay_0@1 name:gpiochip0:3 | relay_1@2 path:/dev/gpiochip1:4 | "
               "key_0@3 label:gpio-sim.0-node0:5 | key_1@4 line:KEY_1 | "
               "led@5 label:20000000.gpio:12";
        QTest::newRow("flags in any order")
            << QByteArray("key_0 gpiochip0:1 pull-up active-low\n"
                          "key_1 gpiochip0:2 active-low pull-down\n"
                          "led gpiochip0:3 bias-disable\nrelay_0 gpiochip0:4 active-low\n")
            << "relay_0@4 name:gpiochip0:4 active-low | key_0@1 name:gpiochip0:1 active-low "
               "pull-up | key_1@2 name:gpiochip0:2 active-low pull-down | "
               "led@3 name:gpiochip0:3 bias-disable";
        QTest::newRow("comments, blank lines, tabs, CRLF, no last newline")
            << QByteArray("# the map\n\n   \t\nrelay_0\tgpiochip0:3 # relay\r\n"
                          "#led gpiochip0:9\nrelay_1  gpiochip0:4#tight\r\n\r\nled gpiochip0:5")
            << "relay_0@4 name:gpiochip0:3 | relay_1@6 name:gpiochip0:4 | led@8 name:gpiochip0:5";
        QTest::newRow("a label holding a colon; the offset follows the last one")
            << QByteArray("led my:chip:7\n") << "led@1 label:my:chip:7";
        QTest::newRow("not quite a chip name is a label")
            << QByteArray("led gpiochip:1\nkey_0 gpiochip0a:2\nkey_1 gpiochip00:3\n")
            << "key_0@2 label:gpiochip0a:2 | key_1@3 name:gpiochip00:3 | led@1 label:gpiochip:1";
        QTest::newRow("offset with leading zeros")
            << QByteArray("led gpiochip0:007\n") << "led@1 name:gpiochip0:7";
        QTest::newRow("leading zeros do not count against the digit cap")
            << QByteArray("led gpiochip0:0000000017\n") << "led@1 name:gpiochip0:17";
        QTest::newRow("a byte-order mark before the first signal")
            << QByteArray("\xef\xbb\xbfrelay_0 gpiochip0:1\n") << "relay_0@1 name:gpiochip0:1";
        QTest::newRow("control bytes and long fields escaped and cut")
            << QByteArray("re\x1b[2Jlay\tx gpiochip0:1\nled gpiochip0:1 ") + QByteArray(100, 'y') +
                   "\n"
            << "/x/lines.conf:1: re\\x1b[2Jlay: " + unknownSignal +
                   " | /x/lines.conf:2: led: "
                   "unknown flag \"" +
                   QString(64, 'y') + "...\"" + flags;
        QTest::newRow("largest offset")
            << QByteArray("led gpiochip0:999999999\n") << "led@1 name:gpiochip0:999999999";

        QTest::newRow("unknown signal") << QByteArray("\n# two\nrelay_2 gpiochip0:1\n")
                                        << "/x/lines.conf:3: relay_2: " + unknownSignal;
        QTest::newRow("signal names are lower case")
            << QByteArray("LED gpiochip0:1\n") << "/x/lines.conf:1: LED: " + unknownSignal;
        QTest::newRow("no line")
            << QByteArray("led\n")
            << "/x/lines.conf:1: led: no line given (CHIP:OFFSET or a line name)";
        QTest::newRow("only a comment after the signal")
            << QByteArray("led # gpiochip0:1\n")
            << "/x/lines.conf:1: led: no line given (CHIP:OFFSET or a line name)";
        QTest::newRow("no offset") << QByteArray("led gpiochip0:\n")
                                   << "/x/lines.conf:1: led: no line offset after \"gpiochip0:\"";
        QTest::newRow("no chip") << QByteArray("led :3\n")
                                 << "/x/lines.conf:1: led: no chip before \":3\"";
        QTest::newRow("offset not a number")
            << QByteArray("led gpiochip0:x1\n")
            << "/x/lines.conf:1: led: \"x1\" is not a line offset (a number from 0)";
        QTest::newRow("negative offset")
            << QByteArray("led gpiochip0:-1\n")
            << "/x/lines.conf:1: led: \"-1\" is not a line offset (a number from 0)";
        QTest::newRow("offset too long")
            << QByteArray("led gpiochip0:1000000000\n")
            << "/x/lines.conf:1: led: line offset 1000000000 is out of range";
        QTest::newRow("unknown flag") << QByteArray("key_0 gpiochip0:1 pullup\n")
                                      << "/x/lines.conf:1: key_0: unknown flag \"pullup\"" + flags;
        QTest::newRow("flags are lower case")
            << QByteArray("key_0 gpiochip0:1 Active-Low\n")
            << "/x/lines.conf:1: key_0: unknown flag \"Active-Low\"" + flags;
        QTest::newRow("active-low twice")
            << QByteArray("key_0 gpiochip0:1 active-low pull-up active-low\n")
            << "/x/lines.conf:1: key_0: \"active-low\" given twice";
        QTest::newRow("debounce on a key, drive flags on an output")
            << QByteArray("key_0 gpiochip0:1 debounce=0\nkey_1 gpiochip0:2 debounce=1000\n"
                          "relay_0 gpiochip0:3 open-drain\nled gpiochip0:4 open-source\n")
            << "relay_0@3 name:gpiochip0:3 open-drain | key_0@1 name:gpiochip0:1 debounce=0 | "
               "key_1@2 name:gpiochip0:2 debounce=1000 | led@4 name:gpiochip0:4 open-source";
        QTest::newRow("two bias flags")
            << QByteArray("key_0 gpiochip0:1 pull-up active-low pull-down\n")
            << "/x/lines.conf:1: key_0: two bias flags: pull-up and pull-down";
        QTest::newRow("the same bias twice")
            << QByteArray("key_0 gpiochip0:1 bias-disable bias-disable\n")
            << "/x/lines.conf:1: key_0: two bias flags: bias-disable and bias-disable";
        QTest::newRow("a signal twice; the first one stands")
            << QByteArray("led gpiochip0:1\n# again\nled gpiochip0:2\n")
            << "led@1 name:gpiochip0:1 | /x/lines.conf:3: led: given twice (first on line 1)";
        QTest::newRow("every fault on its own line; good lines kept")
            << QByteArray("relay_0 gpiochip0:1\nrelay_1 gpiochip0:\n\nkey_0 KEY0 up\n"
                          "led gpiochip0:5\nbuzzer gpiochip0:6\n")
            << "relay_0@1 name:gpiochip0:1 | led@5 name:gpiochip0:5 | "
               "/x/lines.conf:2: relay_1: no line offset after \"gpiochip0:\" | "
               "/x/lines.conf:4: key_0: unknown flag \"up\"" +
                   flags + " | /x/lines.conf:6: buzzer: " + unknownSignal;
    }

    void parse() {
        QFETCH(QByteArray, text);
        QFETCH(QString, expected);
        QCOMPARE(render(LineMap::parse(path, text.toStdString(), true)), expected);
    }

    // Each malformed flag value, and debounce with a libgpiod that cannot
    // honour it: a fault of the map, never dropped.
    void newFlags_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("debounce");
        QTest::addColumn<QString>("expected");
        const QString e = "/x/lines.conf:1: key_0: ";
        const QString range = " is not a time in whole milliseconds from 0 to 1000";
        QTest::newRow("debounce with libgpiod 1")
            << QByteArray("key_0 K debounce=10\n") << false
            << e + "\"debounce=\" needs libgpiod 2; this build has libgpiod 1";
        QTest::newRow("debounce with libgpiod 2")
            << QByteArray("key_0 K debounce=10\n") << true << "key_0@1 line:K debounce=10";
        QTest::newRow("debounce not a number")
            << QByteArray("key_0 K debounce=abc\n") << true << e + "debounce \"abc\"" + range;
        QTest::newRow("debounce too long")
            << QByteArray("key_0 K debounce=1001\n") << true << e + "debounce \"1001\"" + range;
        QTest::newRow("debounce negative")
            << QByteArray("key_0 K debounce=-1\n") << true << e + "debounce \"-1\"" + range;
        QTest::newRow("debounce not whole")
            << QByteArray("key_0 K debounce=1.5\n") << true << e + "debounce \"1.5\"" + range;
        QTest::newRow("debounce empty")
            << QByteArray("key_0 K debounce=\n") << true << e + "debounce \"\"" + range;
        QTest::newRow("debounce twice") << QByteArray("key_0 K debounce=1 debounce=2\n") << true
                                        << e + "\"debounce=\" given twice";
        QTest::newRow("debounce on an output")
            << QByteArray("led K debounce=5\n") << true
            << "/x/lines.conf:1: led: \"debounce=\" is for a key, not an output";
        QTest::newRow("open-drain on a key")
            << QByteArray("key_0 K open-drain\n") << true
            << e + "\"open-drain\" is for an output (relays and led), not a key";
        QTest::newRow("open-drain and open-source")
            << QByteArray("relay_1 K open-drain open-source\n") << true
            << "/x/lines.conf:1: relay_1: two drive flags: open-drain and open-source";
    }

    void newFlags() {
        QFETCH(QByteArray, text);
        QFETCH(bool, debounce);
        QFETCH(QString, expected);
        QCOMPARE(render(LineMap::parse(path, text.toStdString(), debounce)), expected);
    }

    void read_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("expected");
        QTest::newRow("a map") << "lines.conf" << QByteArray("led gpiochip0:1\n")
                               << "led@1 name:gpiochip0:1";
        QTest::newRow("a map of 64 KiB")
            << "lines.conf" << QByteArray("led gpiochip0:1\n") + QByteArray(65536 - 16, '#')
            << "led@1 name:gpiochip0:1";
        QTest::newRow("too large")
            << "lines.conf" << QByteArray(65537, '#') << "FILE: larger than 64 KiB, not a line map";
        QTest::newRow("missing") << "none" << QByteArray() << "FILE: No such file or directory";
        QTest::newRow("a directory") << "." << QByteArray() << "FILE: Is a directory";
        QTest::newRow("a device") << "/dev/null" << QByteArray()
                                  << "/dev/null: not a regular file, not a line map";
        QTest::newRow("a FIFO, without blocking")
            << "fifo" << QByteArray() << "FILE: not a regular file, not a line map";
    }

    void read() {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        QString file = name.startsWith('/') ? name : dir.filePath(name);
        if (name == "fifo") {
            QVERIFY2(mkfifo(file.toLocal8Bit(), 0600) == 0, strerror(errno));
        }
        if (!content.isEmpty()) {
            QFile f(file);
            QVERIFY2(f.open(QIODevice::WriteOnly) && f.write(content) == content.size(),
                     qPrintable(f.errorString()));
        }
        QCOMPARE(render(LineMap::read(file.toStdString())),
                 QString(expected).replace("FILE", file));
    }

    // Faults of the file that no map can show: a descriptor that cannot be
    // looked at, and errno values that are not a map's kind of fault.
    void fileFaults_data() {
        QTest::addColumn<int>("fault");
        QTest::addColumn<QString>("text");
        QTest::newRow("EINVAL is no \"not a regular file\"") << EINVAL << "Invalid argument";
        QTest::newRow("an errno value without a text") << 4000 << "error 4000";
        QTest::newRow("not a regular file")
            << mapfile::notRegular << "not a regular file, not a line map";
    }

    void fileFaults() {
        QFETCH(int, fault);
        QFETCH(QString, text);
        QCOMPARE(QString::fromStdString(mapfile::faultText(fault)), text);
    }

    void fstatFailure() {
        std::string text;
        QCOMPARE(mapfile::readFd(-1, text), EBADF);
        QVERIFY(text.empty());
    }

    // The packaged example maps nothing, and its commented example is a
    // whole map that shows every kind of flag.
    void exampleMap() {
        QFile file(EXAMPLE_MAP);
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.errorString()));
        QByteArray text = file.readAll();
        QCOMPARE(render(LineMap::parse(path, text.toStdString(), true)), QString());
        QByteArray example;
        for (const QByteArray& line : text.split('\n')) {
            if (QRegularExpression("^#(relay|key|led)").match(QString(line)).hasMatch()) {
                example += line.mid(1) + '\n';
            }
        }
        QCOMPARE(render(LineMap::parse(path, example.toStdString(), true)),
                 QString("relay_0@1 name:gpiochip0:17 | relay_1@2 name:gpiochip0:18 open-drain | "
                         "key_0@3 name:gpiochip0:22 active-low pull-up debounce=20 | "
                         "key_1@4 name:gpiochip0:23 active-low pull-up | "
                         "led@5 line:STATUS_LED active-low open-source"));
    }

    void defaultPath_data() {
        QTest::addColumn<QByteArray>("env");
        QTest::addColumn<QString>("expected");
        QTest::newRow("unset") << QByteArray() << "/etc/qor-board/lines.conf";
        QTest::newRow("empty: read() refuses it") << QByteArray("") << "";
        QTest::newRow("set") << QByteArray("/tmp/m") << "/tmp/m";
    }

    void defaultPath() {
        QFETCH(QByteArray, env);
        QFETCH(QString, expected);
        if (env.isNull()) {
            unsetenv("QOR_BOARD_LINES");
        } else {
            setenv("QOR_BOARD_LINES", env.constData(), 1);
        }
        QCOMPARE(QString::fromStdString(LineMap::defaultPath()), expected);
        if (expected.isEmpty()) {
            QCOMPARE(render(LineMap::read(LineMap::defaultPath())),
                     QString("QOR_BOARD_LINES is empty"));
        }
        unsetenv("QOR_BOARD_LINES");
    }
};

QTEST_GUILESS_MAIN(TestLineMap)
#include "tst_linemap.moc"
