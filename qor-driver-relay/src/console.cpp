#include "console.h"

#include "stdindevice.h"

#include <QDebug>
#include <cstdio>

namespace {

QByteArray entryOf(const QStringList& lines) {
    QByteArray entry;
    for (const QString& line : lines) {
        entry += line.toUtf8();
        entry += '\n';
    }
    return entry;
}

} // namespace

// Defined before the streams so that it is built first.
static StdinDevice stdinDevice(0);

LineReader Console::in(&stdinDevice);
OutputQueue Console::out;
QTextStream Console::err(stderr, QIODevice::WriteOnly);

void Console::writeLine(const QString& line) {
    out.push(entryOf({line}));
}

void Console::writeLines(const QStringList& lines) {
    out.push(entryOf(lines));
}

void Console::offerLine(const QString& line) {
    out.offer(entryOf({line}));
}

// Through the toolkit's message channel, whose default handler writes each
// message as one line, and which tests can catch.
void Console::warn(const QString& text) {
    qWarning().noquote() << "qor-driver-relay: " + text;
}
