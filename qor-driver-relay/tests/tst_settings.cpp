// The relay configuration file and the output factory. How main hands the
// pulse length to the outputs is seen end to end in tst_startup.
#include "recordingsetter.h"
#include "settings.h"

#include <QDir>
#include <QtTest>

using namespace recording;

namespace {

QByteArray element(const char* name, const char* cycle) {
    return QByteArray("{\"PinOutType\": \"") + name + "\", \"counterCycle\": " + cycle + "}";
}

QByteArray rel(const QList<QByteArray>& elements) {
    QByteArray list;
    for (const QByteArray& e : elements) {
        list += (list.isEmpty() ? "" : ", ") + e;
    }
    return "{\n  \"Rel\": [" + list + "]\n}\n";
}

// Output 0 with the given pulse length, output 1 a plain toggle.
QByteArray cycle(const char* value) {
    return rel({element("ON_DELAY", value), element("TOGGLE", "1")});
}

// The configuration padded with spaces to `size` bytes.
QByteArray padded(const QByteArray& content, int size) {
    return content + QByteArray(size - content.size(), ' ');
}

const int ON = Settings::ON_DELAY;
const int OFF = Settings::OFF_DELAY;
const int TOGGLE = Settings::TOGGLE;
const int ERROR = Settings::ERROR;
const QByteArray noFile = "<no file>";
const QByteArray directory = "<directory>";

// What one output of the file comes out as: its kind, its pulse length, and a
// text that the reason it is left out holds (none when it is usable).
struct Out {
    int type;
    int cycle;
    QString why = {};
};

void row(const char* name, const QByteArray& content, const Out& out0, const Out& out1) {
    QTest::newRow(name) << content << out0.type << out0.cycle << out1.type << out1.cycle << out0.why
                        << out1.why;
}

} // namespace

class TestSettings : public QObject {
    Q_OBJECT

    QTemporaryDir dir;

    QString writeConfig(const QByteArray& content) {
        QString path = dir.filePath("relay-conf.json");
        QFile::remove(path);
        QDir(path).removeRecursively();
        if (content == directory) {
            QDir().mkpath(path);
        } else if (content != noFile) {
            QFile file(path);
            if (!file.open(QIODevice::WriteOnly)) {
                qFatal("cannot write %s", qPrintable(path));
            }
            file.write(content);
        }
        return path;
    }

  private slots:
    void init() { written.clear(); }

    // `why0`/`why1`: a text the reason must hold; empty when the output is usable.
    void file_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("type0");
        QTest::addColumn<int>("cycle0");
        QTest::addColumn<int>("type1");
        QTest::addColumn<int>("cycle1");
        QTest::addColumn<QString>("why0");
        QTest::addColumn<QString>("why1");
        const QString file = "relay-conf.json";
        const Out toggle{TOGGLE, 1};

        row("on-pulse and toggle", rel({element("ON_DELAY", "30"), element("TOGGLE", "0")}),
            {ON, 30}, {TOGGLE, 0});
        row("off-pulse and on-pulse", rel({element("OFF_DELAY", "5"), element("ON_DELAY", "7")}),
            {OFF, 5}, {ON, 7});
        row("names are case-sensitive", rel({element("on_delay", "30"), element("Toggle", "4")}),
            {ERROR, 30, "on_delay"}, {ERROR, 4, "Toggle"});
        row("no space around a name", rel({element("TOGGLE ", "1"), element(" OFF_DELAY", "2")}),
            {ERROR, 1, "TOGGLE "}, {ERROR, 2, " OFF_DELAY"});
        row("empty name and name not a text",
            rel({element("", "1"), "{\"PinOutType\": 0, \"counterCycle\": 2}"}),
            {ERROR, 1, "PinOutType"}, {ERROR, 2, "PinOutType"});
        // Names are shown quoted as JSON writes them, whatever they hold.
        row("control characters in a name",
            rel({element("A\\u0000B\\n\\u001b[31m", "1"), element("TOGGLE", "1")}),
            {ERROR, 1, "\"PinOutType\" \"A\\u0000B\\u000a\\u001b[31m\""}, toggle);
        row("quote, backslash, format characters, emoji in a name",
            rel({element("TOGGLE", "1"),
                 element("\\\"q\\\\\\u202e\\ud83d\\ude00\\udb40\\udc01", "1")}),
            toggle,
            {ERROR, 1, QString::fromUtf8("\"\\\"q\\\\\\u202e\xF0\x9F\x98\x80\\udb40\\udc01\"")});
        row("no name", rel({"{\"counterCycle\": 3}", element("TOGGLE", "1")}),
            {ERROR, 3, "PinOutType"}, toggle);

        row("cycle 30", cycle("30"), {ON, 30}, toggle);
        row("cycle 30.0", cycle("30.0"), {ON, 30}, toggle);
        row("cycle 3e1", cycle("3e1"), {ON, 30}, toggle);
        row("cycle 30.5", cycle("30.5"), {ON, 0}, toggle);
        row("cycle \"30\"", cycle("\"30\""), {ON, 0}, toggle);
        row("cycle true", cycle("true"), {ON, 0}, toggle);
        row("cycle null", cycle("null"), {ON, 0}, toggle);
        row("cycle missing", rel({"{\"PinOutType\": \"ON_DELAY\"}", element("TOGGLE", "1")}),
            {ON, 0}, toggle);
        row("cycle -1", cycle("-1"), {ON, -1}, toggle);
        row("cycle 65536", cycle("65536"), {ON, 65536}, toggle);
        row("cycle int max", cycle("2147483647"), {ON, 2147483647}, toggle);
        row("cycle above int", cycle("2147483648"), {ON, 0}, toggle);
        row("cycle int min", cycle("-2147483648"), {ON, int(-2147483648LL)}, toggle);
        row("cycle below int", cycle("-2147483649"), {ON, 0}, toggle);
        row("cycle 1e300", cycle("1e300"), {ON, 0}, toggle);

        row("Rel empty", rel({}), {ERROR, 0, "Rel"}, {ERROR, 0, "Rel"});
        row("Rel with one element", rel({element("OFF_DELAY", "9")}), {OFF, 9}, {ERROR, 0, "Rel"});
        row("Rel with three elements",
            rel({element("OFF_DELAY", "4"), element("ON_DELAY", "5"), element("TOGGLE", "6")}),
            {OFF, 4}, {ON, 5});
        row("Rel element not an object", rel({"\"ON_DELAY\"", element("TOGGLE", "1")}),
            {ERROR, 0, "PinOutType"}, toggle);
        row("Rel not an array", "{\"Rel\": {\"PinOutType\": \"ON_DELAY\", \"counterCycle\": 30}}",
            {ERROR, 0, "Rel"}, {ERROR, 0, "Rel"});
        row("key is rel, not Rel", "{\"rel\": [" + element("ON_DELAY", "1") + "]}",
            {ERROR, 0, "Rel"}, {ERROR, 0, "Rel"});

        const Out unread{ERROR, 0, file};
        row("malformed JSON", rel({element("ON_DELAY", "30")}).chopped(2), unread, unread);
        row("top level is an array",
            "[" + rel({element("ON_DELAY", "1"), element("TOGGLE", "1")}) + "]", unread, unread);
        row("invalid UTF-8", rel({element("ON_DELAY", "30"), element("TOGGLE\xff", "1")}),
            {ERROR, 0, "UTF8"}, {ERROR, 0, "UTF8"});
        row("largest file read", padded(cycle("30"), Settings::maxFileSize), {ON, 30}, toggle);
        const Out tooLarge{ERROR, 0, "larger than 65536 bytes"};
        row("one byte too large", padded(cycle("30"), Settings::maxFileSize + 1), tooLarge,
            tooLarge);
        row("empty file", QByteArray(), unread, unread);
        row("missing file", noFile, unread, unread);
        row("directory instead of a file", directory, unread, unread);
    }

    void file() {
        QFETCH(QByteArray, content);
        QFETCH(int, type0);
        QFETCH(int, cycle0);
        QFETCH(int, type1);
        QFETCH(int, cycle1);
        QFETCH(QString, why0);
        QFETCH(QString, why1);
        Settings settings(writeConfig(content));
        QCOMPARE(int(settings.outTypeRel[0]), type0);
        QCOMPARE(settings.counterCycleRel[0], cycle0);
        QCOMPARE(int(settings.outTypeRel[1]), type1);
        QCOMPARE(settings.counterCycleRel[1], cycle1);
        // A reason exactly for the outputs that cannot run, saying why.
        const QString why[2] = {why0, why1};
        for (int i = 0; i < 2; ++i) {
            QCOMPARE(settings.errorRel[i].isEmpty(), settings.outTypeRel[i] != Settings::ERROR);
            QVERIFY2(settings.errorRel[i].contains(why[i]), qPrintable(settings.errorRel[i]));
        }
    }

    // Per kind: the level written at construction, then the writes of ticks
    // 1 to 3 after an activation with a pulse length of 2.
    void createPinOut_data() {
        QTest::addColumn<int>("outType");
        QTest::addColumn<QString>("atStart");
        QTest::addColumn<QString>("ticks");
        QTest::newRow("ON_DELAY") << ON << "0"
                                  << "110";
        QTest::newRow("OFF_DELAY") << OFF << "1"
                                   << "001";
        QTest::newRow("TOGGLE") << TOGGLE << "0"
                                << "1..";
        QTest::newRow("ERROR") << ERROR << ""
                               << "";
        QTest::newRow("4") << 4 << ""
                           << "";
        QTest::newRow("-1") << -1 << ""
                            << "";
    }

    void createPinOut() {
        QFETCH(int, outType);
        QFETCH(QString, atStart);
        QFETCH(QString, ticks);
        Settings settings(writeConfig(noFile));
        PinOut* out = keep(settings.createPinOut(outType, record));
        QCOMPARE(out == nullptr, atStart.isEmpty());
        auto levels = [] {
            QString s;
            for (int level : written) {
                s += QChar('0' + level);
            }
            written.clear();
            return s;
        };
        QCOMPARE(levels(), atStart);
        if (!out) {
            return;
        }
        out->set_delay(2);
        out->process();
        out->activate();
        QString got;
        for (int i = 0; i < 3; ++i) {
            out->process();
            QString level = levels();
            got += level.isEmpty() ? QString(".") : level;
        }
        QCOMPARE(got, ticks);
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
