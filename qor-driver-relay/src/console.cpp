#include "console.h"

#include <cstdio>

QTextStream Console::in(stdin, QIODevice::ReadOnly);
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
