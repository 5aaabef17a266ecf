// The console protocol: parser, dispatcher, room-list dialogues and line
// reading, with outputs that only show whether they were activated.
#include "console.h"
#include "consolescan.h"
#include "linereader.h"
#include "outputcapture.h"
#include "pinout.h"
#include "relayprotocol.h"

#include <QBuffer>
#include <QtTest>

using namespace testkit::protocol;

namespace {

class ProbeOut : public PinOut {
  public:
    ProbeOut() : PinOut(nullptr) {}
    bool active() const { return isActive; }
};

// Messages sent through the debug channel while a test runs.
QStringList diagnostics;

void captureMessage(QtMsgType type, const QMessageLogContext&, const QString& text) {
    diagnostics << (type == QtDebugMsg ? text : QString("unexpected: ") + text);
}

// Which outputs are active: "", "0", "1" or "01".
QString activeOutputs(const ProbeOut& out0, const ProbeOut& out1) {
    return QString(out0.active() ? "0" : "") + (out1.active() ? "1" : "");
}

} // namespace

class ConsoleScanTest : public QObject {
    Q_OBJECT

  private:
    OutputCapture output;
    QtMessageHandler previousHandler = nullptr;

    QStringList takeLines() { return output.takeLines(); }

    static QList<int> setBits(const uint32_t* mask) {
        QList<int> rooms;
        for (int room = 0; room < 1024; ++room) {
            if (mask[room / 32] & (1u << (room % 32))) {
                rooms << room;
            }
        }
        return rooms;
    }

  private slots:
    void initTestCase() { output.start(); }

    void init() {
        takeLines();
        diagnostics.clear();
        previousHandler = qInstallMessageHandler(captureMessage);
    }

    void cleanup() { qInstallMessageHandler(previousHandler); }

    void commands_data() {
        QTest::addColumn<QString>("line");
        QTest::addColumn<int>("group");
        QTest::addColumn<int>("sub");
        QTest::addColumn<QString>("activated");
        QTest::addColumn<bool>("dialPlan");
        auto row = [](const char* name, const QString& line, int group, int sub,
                      const char* activated, bool dialPlan = false) {
            QTest::newRow(name) << line << group << sub << QString(activated) << dialPlan;
        };
        // Short numeric form: leading digit is the group, the rest the sub.
        row("2", "2", 2, 0xFFFF, "0");
        row("20", "20", 2, 0, "0");
        row("21", "21", 2, 1, "1");
        row("22", "22", 2, 2, "");
        row("4123", "4123", 4, 123, "");
        row("405", "405", 4, 5, "");
        row("0", "0", 0, 0xFFFF, "");
        row("+21", "+21", 2, 1, "1");
        row("21 tab", "21\t", 2, 1, "1");
        row("tab 21", "\t21", 2, 1, "1");
        row("21 lone CR", "21\r", 2, 1, "1");
        row("65557 narrows to 21", "65557", 2, 1, "1");
        row("max 32-bit narrows to 65535", "4294967295", 6, 5535, "", true);
        row("past 32 bits is no number", "4294967317", 0, 0, "");
        row("past 64 bits is no number", "18446744073709551637", 0, 0, "");
        row("-1", "-1", 0, 0, "");
        row("+", "+", 0, 0, "");
        row("hex", "0x15", 0, 0, "");
        row("empty", "", 0, 0, "");
        row("leading space", " 21", 0, 0, "");
        // Long numeric form: group and sub as two numbers.
        row("2 0", "2 0", 2, 0, "0");
        row("2 1", "2 1", 2, 1, "1");
        row("2 2", "2 2", 2, 2, "");
        row("2 65535", "2 65535", 2, 0xFFFF, "0");
        row("2 256, low byte 0", "2 256", 2, 256, "0");
        row("2 257, low byte 1", "2 257", 2, 257, "1");
        row("258 1, group low byte 2", "258 1", 258, 1, "1");
        row("2 +1", "2 +1", 2, 1, "1");
        row("2 x", "2 x", 0, 0, "");
        row("2 -1", "2 -1", 0, 0, "");
        row("2 past 32 bits", "2 4294967297", 0, 0, "");
        row("trailing space", "21 ", 0, 0, "");
        row("2 space space 1", "2  1", 0, 0, "");
        row("three numbers", "2 1 1", 0, 0, "");
        // Keywords.
        row("pickup", "pickup", 1, 0, "");
        row("open 0", "open 0", 2, 0, "0");
        row("open 1", "open 1", 2, 1, "1");
        row("open 2", "open 2", 2, 2, "");
        row("open 256", "open 256", 2, 0, "0");
        row("open 257", "open 257", 2, 1, "1");
        row("open 4294967041", "open 4294967041", 2, 1, "1");
        row("open past 32 bits", "open 4294967297", 2, 0, "0");
        row("open x", "open x", 2, 0, "0");
        row("open -1", "open -1", 2, 0, "0");
        row("open +1", "open +1", 2, 1, "1");
        row("open 1 tab", "open 1\t", 2, 1, "1");
        row("open and a space", "open ", 2, 0, "0");
        row("open, two spaces, 1", "open  1", 2, 0, "0");
        row("bare open", "open", 2, 3, "");
        row("open 1 and more", "open 1 x y", 2, 1, "1");
        row("Open", "Open 1", 0, 0, "");
        row("drop", "drop", 3, 0, "");
        row("dial 123", "dial 123", 4, 123, "");
        row("dial 70000 narrows", "dial 70000", 4, 4464, "");
        row("bare dial", "dial", 4, 0, "");
        row("dial x", "dial x", 4, 0, "");
        row("phonedetect 7", "phonedetect 7", 5, 7, "");
        row("bare phonedetect", "phonedetect", 5, 0, "");
        // The dial plan, in all its forms.
        row("dialplan", "dialplan", 6, 0, "", true);
        row("dialplan x", "dialplan x", 6, 0, "", true);
        row("6", "6", 6, 0xFFFF, "", true);
        row("60", "60", 6, 0, "", true);
        row("6 0", "6 0", 6, 0, "", true);
        row("dialplan CR space x", "dialplan\r x", 0, 0, "");
        row("dialplan CR", "dialplan\r", 0, 0, "");
        row("DIALPLAN", "DIALPLAN", 0, 0, "");
        row("7", "7", 7, 0xFFFF, "");
        row("9 1", "9 1", 9, 1, "");
    }

    void commands() {
        QFETCH(QString, line);
        QFETCH(int, group);
        QFETCH(int, sub);
        QFETCH(QString, activated);
        QFETCH(bool, dialPlan);
        ProbeOut out0, out1;
        ConsoleScan scan(&out0, &out1);
        ConsoleScan::ReadCommand command = scan.mode_read_command(line.split(' '));
        QCOMPARE(int(command.group), group);
        QCOMPARE(int(command.sub), sub);
        scan.scan_line(line);
        QCOMPARE(activeOutputs(out0, out1), activated);
        QCOMPARE(takeLines(), dialPlan ? dialPlanOpened : QStringList());
        QCOMPARE(scan.consoleModeRead, dialPlan ? READ_VIRTUAL_NUMBERS : READ_COMMANDS);
        QCOMPARE(diagnostics, QStringList());
    }

    void roomLines_data() {
        QTest::addColumn<QString>("line");
        QTest::addColumn<int>("result");
        QTest::addColumn<int>("room"); // the bit set, -1 for none
        QTest::addColumn<QStringList>("replies");
        QTest::addColumn<bool>("diagnostic");
        auto row = [](const char* name, const QString& line, int result, int room,
                      const QStringList& replies = {}, bool diagnostic = false) {
            QTest::newRow(name) << line << result << room << replies << diagnostic;
        };
        row("5", "5", 0, 5);
        row("0", "0", 0, 0);
        row("31", "31", 0, 31);
        row("32", "32", 0, 32);
        row("1023", "1023", 0, 1023);
        row("+5", "+5", 0, 5);
        row("tabs", "\t5\t", 0, 5);
        row("lone CR", "5\r", 0, 5);
        row("65536 narrows to 0", "65536", 0, 0);
        row("66559 narrows to 1023", "66559", 0, 1023);
        row("-2147483648 narrows to 0", "-2147483648", 0, 0);
        row("1024", "1024", 0, -1, {bigNumber});
        row("32767", "32767", 0, -1, {bigNumber});
        row("-1", "-1", -1, -1, roomsEnded);
        row("-0 is no end", "-0", 0, 0);
        row("40000 narrows negative", "40000", -1, -1, roomsEnded);
        row("2147483647 narrows to -1", "2147483647", -1, -1, roomsEnded);
        row("past 32-bit signed", "2147483648", 0, -1, {}, true);
        row("below 32-bit signed", "-2147483649", 0, -1, {}, true);
        row("past 64 bits", "18446744073709551621", 0, -1, {}, true);
        row("empty", "", 0, -1, {}, true);
        row("abc", "abc", 0, -1, {}, true);
        row("1 2", "1 2", 0, -1, {}, true);
        row("5 and a space", "5 ", 0, -1, {}, true);
        row("space and 5", " 5", 0, -1, {}, true);
        row("open 1", "open 1", 0, -1, {}, true);
        row("-", "-", 0, -1, {}, true);
        row("hex", "0x5", 0, -1, {}, true);
    }

    void roomLines() {
        QFETCH(QString, line);
        QFETCH(int, result);
        QFETCH(int, room);
        QFETCH(QStringList, replies);
        QFETCH(bool, diagnostic);
        ConsoleScan scan(nullptr, nullptr);
        uint32_t mask[32] = {};
        QCOMPARE(scan.mode_read_list(line.split(' '), mask), result);
        QCOMPARE(setBits(mask), room < 0 ? QList<int>() : QList<int>{room});
        QCOMPARE(takeLines(), replies);
        QCOMPARE(diagnostics, diagnostic ? QStringList{badRoom} : QStringList());
    }

    // The whole exchange twice; commands are room-list input meanwhile.
    void dialPlanExchange() {
        ProbeOut out0, out1;
        ConsoleScan scan(&out0, &out1);
        QCOMPARE(setBits(scan.readImitPhone), QList<int>());
        QCOMPARE(setBits(scan.readBlackPhone), QList<int>());
        const QStringList first{"dialplan", "5",  "open 1", "21",       "2",   "5",
                                "1024",     "-1", "7",      "dialplan", "2 1", "-5"};
        for (const QString& line : first) {
            scan.scan_line(line);
        }
        QCOMPARE(takeLines(), dialPlanOpened + QStringList{bigNumber} + roomsEnded +
                                  blacklistOpened + roomsEnded);
        QCOMPARE(diagnostics, QStringList({badRoom, badRoom, badRoom}));
        QCOMPARE(activeOutputs(out0, out1), QString());
        QCOMPARE(setBits(scan.readImitPhone), QList<int>({2, 5, 21}));
        QCOMPARE(setBits(scan.readBlackPhone), QList<int>({7}));
        QCOMPARE(scan.consoleModeRead, READ_COMMANDS);

        for (const char* line : {"6", "9", "5", "-1", "1023", "-1", "open 1"}) {
            scan.scan_line(line);
        }
        QCOMPARE(takeLines(), dialPlanOpened + roomsEnded + blacklistOpened + roomsEnded);
        QCOMPARE(setBits(scan.readImitPhone), QList<int>({2, 5, 9, 21}));
        QCOMPARE(setBits(scan.readBlackPhone), QList<int>({7, 1023}));
        QCOMPARE(activeOutputs(out0, out1), QString("1"));
    }

    // Whole input through the reading loop, which returns at its end.
    void lineEnds_data() {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("activated");
        QTest::addColumn<QStringList>("replies");
        QTest::addColumn<int>("skipped"); // lines skipped for their length
        auto row = [](const char* name, const QByteArray& input, const char* activated,
                      const QStringList& replies = {}, int skipped = 0) {
            QTest::newRow(name) << input << QString(activated) << replies << skipped;
        };
        const int limit = LineReader::maxLine;
        // "open 1" followed by spaces is still "open 1": the extra words are ignored.
        auto open1 = [](int length) { return "open 1" + QByteArray(length - 6, ' '); };
        row("LF", "21\n", "1");
        row("CR LF", "open 1\r\n", "1");
        row("no final LF", "2 1", "1");
        row("empty lines", "\n\r\n\n20\n", "0");
        row("CR before CR LF", "open 1\r\r\n", "1");
        row("CR not before LF", "dialplan\r x\n", "");
        row("CR LF dialogue", "dialplan\r\n5\r\n-1\r\n-1\r\n21\r\n", "1",
            dialPlanOpened + roomsEnded + blacklistOpened + roomsEnded);
        row("input ends in a dialogue", "6\n5\n", "", dialPlanOpened);
        // No byte sequence changes how later lines are read.
        row("UTF-8 byte order mark is part of its line",
            "\xEF\xBB\xBF"
            "21\n",
            "");
        row("UTF-16 byte order mark, then commands",
            "\xFF\xFE"
            "21\n20\n",
            "0");
        row("UTF-16 big-endian mark on a line of its own", "\xFE\xFF\n21\n", "1");
        row("UTF-32 mark, then commands", QByteArray("\xFF\xFE\0\0\n21\n", 8), "1");
        // The line is every byte up to the line feed: a NUL in it matches no command.
        row("NUL after a command", QByteArray("21\0\n", 4), "");
        row("NUL after open 1", QByteArray("open 1\0xyz\n", 11), "");
        row("NUL line, then a command", QByteArray("\0\n20\n", 5), "0");
        row("line at the limit", open1(limit) + "\n", "1");
        row("line at the limit, CR LF", open1(limit) + "\r\n", "1");
        row("last line at the limit, no LF", open1(limit), "1");
        row("line over the limit", open1(limit + 1) + "\n20\n", "0", {}, 1);
        row("line over the limit, CR LF", open1(limit + 1) + "\r\n20\n", "0", {}, 1);
        row("long line across many reads", QByteArray(300000, 'x') + "\n21\n", "1", {}, 1);
        row("two long lines", QByteArray(5000, '1') + "\n" + QByteArray(9000, '2') + "\n21\n", "1",
            {}, 2);
        row("long last line without LF", "20\n" + QByteArray(5000, 'x'), "0", {}, 1);
    }

    void lineEnds() {
        QFETCH(QByteArray, input);
        QFETCH(QString, activated);
        QFETCH(QStringList, replies);
        QFETCH(int, skipped);
        QBuffer in(&input);
        in.open(QIODevice::ReadOnly);
        Console::in.setDevice(&in);
        ProbeOut out0, out1;
        ConsoleScan scan(&out0, &out1);
        scan.cycle_scan();
        Console::in.setDevice(nullptr);
        QCOMPARE(activeOutputs(out0, out1), activated);
        QCOMPARE(takeLines(), replies);
        QStringList tooLong = diagnostics.filter("longer than 4096 bytes was skipped");
        QCOMPARE(tooLong.size(), skipped);
        QCOMPARE(diagnostics.size(), skipped);
    }

    // An output left out for want of configuration ignores activations.
    void missingOutputs() {
        ProbeOut out1;
        ConsoleScan scan(nullptr, &out1);
        for (const char* line : {"2", "20", "open 0", "open", "open x", "2 65535"}) {
            scan.scan_line(line);
        }
        QVERIFY(!out1.active());
        scan.scan_line("21");
        QVERIFY(out1.active());
        // Without either output, opening is neither carried out nor answered
        // nor reported, and the next command is read as one.
        ConsoleScan none(nullptr, nullptr);
        for (const char* line : {"2", "21", "open 1", "2 1"}) {
            none.scan_line(line);
        }
        QCOMPARE(takeLines(), QStringList());
        QCOMPARE(diagnostics, QStringList());
        none.scan_line("dialplan");
        QCOMPARE(takeLines(), dialPlanOpened);
        QCOMPARE(none.consoleModeRead, READ_VIRTUAL_NUMBERS);
    }
};

QTEST_GUILESS_MAIN(ConsoleScanTest)
#include "tst_consolescan.moc"
