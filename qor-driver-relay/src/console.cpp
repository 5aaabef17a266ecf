#include "console.h"

#include "stdindevice.h"

#include <cstdio>

// Defined before the streams so that it is built first.
static StdinDevice stdinDevice(0);

QTextStream Console::in(&stdinDevice);
QTextStream Console::out(stdout, QIODevice::WriteOnly);
QTextStream Console::err(stderr, QIODevice::WriteOnly);
std::mutex Console::outLock;

void Console::writeLine(const QString& line) {
    std::lock_guard<std::mutex> lock(outLock);
    out << line << '\n';
    out.flush();
}

void Console::writeLines(const QStringList& lines) {
    std::lock_guard<std::mutex> lock(outLock);
    for (const QString& line : lines) {
        out << line << '\n';
    }
    out.flush();
}
