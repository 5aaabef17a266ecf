// The test kit's trace reader on files the test writes itself: the line
// forms it accepts, lines written in pieces, and a file that is replaced.
#include "boardsandbox.h"
#include "tracereader.h"

#include <QFile>
#include <QtTest>

using namespace testkit;

class TestTraceReader : public QObject {
    Q_OBJECT

  private:
    static void append(const QString& path, const QByteArray& bytes) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Append));
        QCOMPARE(file.write(bytes), qint64(bytes.size()));
    }

    static QString text(const TraceEntry& e) {
        return QString("%1 %2 %3").arg(e.tUs).arg(e.op).arg(e.value);
    }

  private slots:
    void lineForms_data() {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("parsed"); // empty: malformed
        auto row = [](const char* line, const char* parsed) {
            QTest::newRow(*line ? line : "empty") << QByteArray(line) << QString(parsed);
        };
        row("12 board_lib_init", "12 board_lib_init -1");
        row("0 board_gpio_set_relay_1 1", "0 board_gpio_set_relay_1 1");
        row("1234567890123 board_delay_ms 65535", "1234567890123 board_delay_ms 65535");
        row("", "");
        row("board_lib_init", "");
        row("12 board_", "");
        row("12 board_Led", "");
        row("12 boardled", "");
        row("12  board_led", "");
        row("12 board_led ", "");
        row("12 board_led 1 2", "");
        row("12 board_led 1x", "");
        row("12 board_led -1", "");
        row("12 board_led\r", "");
        row("x12 board_led", "");
        row("9223372036854775807 board_led", "");
        row("12 board_led 4294967296", "");
    }

    void lineForms() {
        QFETCH(QByteArray, line);
        QFETCH(QString, parsed);
        BoardSandbox board;
        append(board.tracePath(), line + '\n');
        BoardTrace trace = board.trace();
        QCOMPARE(trace.malformedLines(), parsed.isEmpty() ? 1 : 0);
        QCOMPARE(trace.entries().size(), parsed.isEmpty() ? 0 : 1);
        if (!parsed.isEmpty()) {
            QCOMPARE(text(trace.entries().first()), parsed);
        }
    }

    // Each poll returns only what was completed since the one before.
    void linesInPieces() {
        BoardSandbox board;
        TraceReader reader(board.tracePath());
        QVERIFY(reader.poll().isEmpty()); // no file yet
        append(board.tracePath(), "1 board_lib_init\n2 board_gpio_");
        QList<TraceEntry> fresh = reader.poll();
        QCOMPARE(fresh.size(), 1);
        QCOMPARE(fresh.first().op, QString("board_lib_init"));
        QVERIFY(reader.poll().isEmpty());
        append(board.tracePath(), "init\n3 board_gpio_get_key_0 1\n");
        fresh = reader.poll();
        QCOMPARE(fresh.size(), 2);
        QCOMPARE(text(fresh[0]), QString("2 board_gpio_init -1"));
        QCOMPARE(text(fresh[1]), QString("3 board_gpio_get_key_0 1"));
        QCOMPARE(reader.trace().entries().size(), 3);
        QCOMPARE(reader.trace().lastValue("board_gpio_get_key_0"), 1);
        QCOMPARE(reader.trace().lastValue("board_gpio_led"), -1);
        QVERIFY(reader.trace().wellFormed());
    }

    // A removed or rewritten trace is the new file's, as a whole read would be.
    void fileReplaced() {
        BoardSandbox board;
        append(board.tracePath(), "1 board_lib_init\n2 board_gpio_init\n");
        QCOMPARE(board.trace().entries().size(), 2);
        QVERIFY(QFile::remove(board.tracePath()));
        QCOMPARE(board.trace().entries().size(), 0);
        append(board.tracePath(), "3 board_gpio_led_init\n");
        QCOMPARE(board.trace().entries().size(), 1);
        QVERIFY(QFile(board.tracePath()).resize(0));
        append(board.tracePath(), "4 board_lib_init\n");
        QCOMPARE(text(board.trace().entries().first()), QString("4 board_lib_init -1"));
        QCOMPARE(board.trace().entries().size(), 1);
    }

    void waitUntilSeesLaterLines() {
        BoardSandbox board;
        QVERIFY(
            !board.waitUntilTrace([](const BoardTrace& t) { return !t.entries().isEmpty(); }, 50));
        append(board.tracePath(), "5 board_gpio_get_key_0 0\n");
        BoardTrace trace = board.waitForTrace("board_gpio_get_key_0", 1, 5000);
        QCOMPARE(trace.only("board_gpio_get_key_0").size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestTraceReader)
#include "tst_tracereader.moc"
