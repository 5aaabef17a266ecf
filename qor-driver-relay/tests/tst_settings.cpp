// The relay configuration file, the output factory and the hand-over of the
// pulse length to the output.
#include "settings.h"

#include <QDir>
#include <QtTest>
#include <vector>

namespace {

std::vector<int> written;

void record(uint8_t level) {
    written.push_back(level);
}

// Outputs are never deleted (they have no virtual destructor); a global root
// keeps them reachable so that leak checkers stay quiet.
std::vector<PinOut*>* made = new std::vector<PinOut*>;

PinOut* keep(PinOut* out) {
    made->push_back(out);
    return out;
}

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

        QTest::newRow("on-pulse and toggle")
            << rel({element("ON_DELAY", "30"), element("TOGGLE", "0")}) << ON << 30 << TOGGLE << 0
            << ""
            << "";
        QTest::newRow("off-pulse and on-pulse")
            << rel({element("OFF_DELAY", "5"), element("ON_DELAY", "7")}) << OFF << 5 << ON << 7
            << ""
            << "";
        QTest::newRow("names are case-sensitive")
            << rel({element("on_delay", "30"), element("Toggle", "4")}) << ERROR << 30 << ERROR << 4
            << "on_delay"
            << "Toggle";
        QTest::newRow("no space around a name")
            << rel({element("TOGGLE ", "1"), element(" OFF_DELAY", "2")}) << ERROR << 1 << ERROR
            << 2 << "TOGGLE "
            << " OFF_DELAY";
        QTest::newRow("empty name and name not a text")
            << rel({element("", "1"), "{\"PinOutType\": 0, \"counterCycle\": 2}"}) << ERROR << 1
            << ERROR << 2 << "PinOutType"
            << "PinOutType";
        // Names are shown quoted as JSON writes them, whatever they hold.
        QTest::newRow("control characters in a name")
            << rel({element("A\\u0000B\\n\\u001b[31m", "1"), element("TOGGLE", "1")}) << ERROR << 1
            << TOGGLE << 1 << "\"PinOutType\" \"A\\u0000B\\u000a\\u001b[31m\""
            << "";
        QTest::newRow("quote, backslash, format characters, emoji in a name")
            << rel({element("TOGGLE", "1"),
                    element("\\\"q\\\\\\u202e\\ud83d\\ude00\\udb40\\udc01", "1")})
            << TOGGLE << 1 << ERROR << 1 << ""
            << QString::fromUtf8("\"\\\"q\\\\\\u202e\xF0\x9F\x98\x80\\udb40\\udc01\"");
        QTest::newRow("no name") << rel({"{\"counterCycle\": 3}", element("TOGGLE", "1")}) << ERROR
                                 << 3 << TOGGLE << 1 << "PinOutType"
                                 << "";

        QTest::newRow("cycle 30") << cycle("30") << ON << 30 << TOGGLE << 1 << ""
                                  << "";
        QTest::newRow("cycle 30.0") << cycle("30.0") << ON << 30 << TOGGLE << 1 << ""
                                    << "";
        QTest::newRow("cycle 3e1") << cycle("3e1") << ON << 30 << TOGGLE << 1 << ""
                                   << "";
        QTest::newRow("cycle 30.5") << cycle("30.5") << ON << 0 << TOGGLE << 1 << ""
                                    << "";
        QTest::newRow("cycle \"30\"") << cycle("\"30\"") << ON << 0 << TOGGLE << 1 << ""
                                      << "";
        QTest::newRow("cycle true") << cycle("true") << ON << 0 << TOGGLE << 1 << ""
                                    << "";
        QTest::newRow("cycle null") << cycle("null") << ON << 0 << TOGGLE << 1 << ""
                                    << "";
        QTest::newRow("cycle missing")
            << rel({"{\"PinOutType\": \"ON_DELAY\"}", element("TOGGLE", "1")}) << ON << 0 << TOGGLE
            << 1 << ""
            << "";
        QTest::newRow("cycle -1") << cycle("-1") << ON << -1 << TOGGLE << 1 << ""
                                  << "";
        QTest::newRow("cycle 65536") << cycle("65536") << ON << 65536 << TOGGLE << 1 << ""
                                     << "";
        QTest::newRow("cycle int max")
            << cycle("2147483647") << ON << 2147483647 << TOGGLE << 1 << ""
            << "";
        QTest::newRow("cycle above int") << cycle("2147483648") << ON << 0 << TOGGLE << 1 << ""
                                         << "";
        QTest::newRow("cycle int min")
            << cycle("-2147483648") << ON << int(-2147483648LL) << TOGGLE << 1 << ""
            << "";
        QTest::newRow("cycle below int") << cycle("-2147483649") << ON << 0 << TOGGLE << 1 << ""
                                         << "";
        QTest::newRow("cycle 1e300") << cycle("1e300") << ON << 0 << TOGGLE << 1 << ""
                                     << "";

        QTest::newRow("Rel empty") << rel({}) << ERROR << 0 << ERROR << 0 << "Rel"
                                   << "Rel";
        QTest::newRow("Rel with one element")
            << rel({element("OFF_DELAY", "9")}) << OFF << 9 << ERROR << 0 << ""
            << "Rel";
        QTest::newRow("Rel with three elements")
            << rel({element("OFF_DELAY", "4"), element("ON_DELAY", "5"), element("TOGGLE", "6")})
            << OFF << 4 << ON << 5 << ""
            << "";
        QTest::newRow("Rel element not an object") << rel({"\"ON_DELAY\"", element("TOGGLE", "1")})
                                                   << ERROR << 0 << TOGGLE << 1 << "PinOutType"
                                                   << "";
        QTest::newRow("Rel not an array")
            << QByteArray("{\"Rel\": {\"PinOutType\": \"ON_DELAY\", \"counterCycle\": 30}}")
            << ERROR << 0 << ERROR << 0 << "Rel"
            << "Rel";
        QTest::newRow("key is rel, not Rel")
            << QByteArray("{\"rel\": [" + element("ON_DELAY", "1") + "]}") << ERROR << 0 << ERROR
            << 0 << "Rel"
            << "Rel";

        QTest::newRow("malformed JSON") << rel({element("ON_DELAY", "30")}).chopped(2) << ERROR << 0
                                        << ERROR << 0 << file << file;
        QTest::newRow("top level is an array")
            << "[" + rel({element("ON_DELAY", "1"), element("TOGGLE", "1")}) + "]" << ERROR << 0
            << ERROR << 0 << file << file;
        QTest::newRow("invalid UTF-8")
            << rel({element("ON_DELAY", "30"), element("TOGGLE\xff", "1")}) << ERROR << 0 << ERROR
            << 0 << "UTF8"
            << "UTF8";
        QTest::newRow("largest file read")
            << padded(cycle("30"), Settings::maxFileSize) << ON << 30 << TOGGLE << 1 << ""
            << "";
        QTest::newRow("one byte too large") << padded(cycle("30"), Settings::maxFileSize + 1)
                                            << ERROR << 0 << ERROR << 0 << "larger than 65536 bytes"
                                            << "larger than 65536 bytes";
        QTest::newRow("empty file") << QByteArray() << ERROR << 0 << ERROR << 0 << file << file;
        QTest::newRow("missing file") << noFile << ERROR << 0 << ERROR << 0 << file << file;
        QTest::newRow("directory instead of a file")
            << directory << ERROR << 0 << ERROR << 0 << file << file;
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

    // main narrows the configured length to 16 bits when it hands it over.
    void pulseLengthReachesTheOutputNarrowed_data() {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<int>("ticks");
        QTest::newRow("30") << QByteArray("30") << 30;
        QTest::newRow("65535") << QByteArray("65535") << 65535;
        QTest::newRow("65536") << QByteArray("65536") << 0;
        QTest::newRow("65537") << QByteArray("65537") << 1;
        QTest::newRow("-1") << QByteArray("-1") << 65535;
        QTest::newRow("70000") << QByteArray("70000") << 4464;
    }

    void pulseLengthReachesTheOutputNarrowed() {
        QFETCH(QByteArray, value);
        QFETCH(int, ticks);
        Settings settings(writeConfig(cycle(value.constData())));
        PinOut* out = keep(settings.createPinOut(settings.outTypeRel[0], record));
        QVERIFY(out);
        out->set_delay(static_cast<uint16_t>(settings.counterCycleRel[0]));
        out->process();
        out->activate();
        int on = 0;
        while (out->process() && on <= 70000) {
            ++on;
        }
        QCOMPARE(on, ticks);
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
