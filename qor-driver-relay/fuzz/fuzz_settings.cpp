// Arbitrary bytes as the relay settings file. An output gets a usable
// behaviour or ERROR with a reason, never anything else.
#include "settings.h"

#include <QTemporaryFile>
#include <cstdio>
#include <cstdlib>

namespace {

void messageIgnored(QtMsgType, const QMessageLogContext&, const QString&) {}

// Removed again when the fuzzer exits.
QTemporaryFile& settingsFile() {
    static QTemporaryFile file;
    if (!file.isOpen()) {
        qInstallMessageHandler(messageIgnored);
        if (!file.open()) {
            fprintf(stderr, "no temporary file\n");
            abort();
        }
    }
    return file;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    QTemporaryFile& file = settingsFile();
    file.resize(0);
    file.seek(0);
    file.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
    file.flush();
    Settings settings(file.fileName());
    for (int i = 0; i < 2; ++i) {
        unsigned type = settings.outTypeRel[i];
        bool error = type == Settings::ERROR;
        if (type > Settings::ERROR || error == settings.errorRel[i].isEmpty()) {
            fprintf(stderr, "output %d: type %u, reason \"%s\"\n", i, type,
                    qPrintable(settings.errorRel[i]));
            abort();
        }
    }
    return 0;
}
