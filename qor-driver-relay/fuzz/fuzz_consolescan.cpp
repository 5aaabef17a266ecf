// Arbitrary bytes as console input. The first byte picks the reading mode the
// lines start in; the rest goes through the reading loop line by line. Every
// reply must be one of the protocol's lines.
#include "console.h"
#include "consolescan.h"
#include "outputcapture.h"
#include "outtoggle.h"
#include "outturnon.h"
#include "relayprotocol.h"

#include <QBuffer>
#include <cstdio>
#include <cstdlib>

namespace {

void relayIgnored(uint8_t) {}
void messageIgnored(QtMsgType, const QMessageLogContext&, const QString&) {}

void checkReplies(const QStringList& lines) {
    for (const QString& line : lines) {
        if (!testkit::protocol::replies.contains(line)) {
            fprintf(stderr, "unknown reply: %s\n", qPrintable(line));
            abort();
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool quiet = (qInstallMessageHandler(messageIgnored), true);
    (void)quiet;
    if (size == 0) {
        return 0;
    }
    OutTurnOn pulse(relayIgnored);
    OutToggle toggle(relayIgnored);
    pulse.set_delay(data[0]);
    ConsoleScan scan(&pulse, &toggle);
    if (data[0] % 3 >= 1) {
        scan.scan_line("dialplan");
    }
    if (data[0] % 3 == 2) {
        scan.scan_line("-1");
    }
    QByteArray input(reinterpret_cast<const char*>(data + 1), static_cast<int>(size - 1));
    QBuffer in(&input);
    in.open(QIODevice::ReadOnly);
    Console::in.setDevice(&in);
    scan.cycle_scan();
    Console::in.setDevice(nullptr);
    pulse.process();
    toggle.process();
    checkReplies(OutputCapture().takeLines());
    return 0;
}
