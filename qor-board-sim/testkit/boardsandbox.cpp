#include "boardsandbox.h"

#include <QDir>
#include <QFile>
#include <cstdio>

namespace testkit {

BoardSandbox::BoardSandbox() {
    QDir(tmp.path()).mkpath("keys");
}

QString BoardSandbox::keyPath(int key) const {
    return QDir(keysDir()).filePath(QString("key%1").arg(key));
}

void BoardSandbox::setKey(int key, bool pressed) const {
    setKeyFile(key, pressed ? "1" : "0");
}

void BoardSandbox::setKeyFile(int key, const QByteArray& content) const {
    QString path = keyPath(key);
    QString part = path + ".part";
    QFile file(part);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        file.write(content);
        file.close();
        std::rename(QFile::encodeName(part).constData(), QFile::encodeName(path).constData());
    }
}

void BoardSandbox::removeKeyFile(int key) const {
    QFile::remove(keyPath(key));
}

bool BoardSandbox::keyPressed(int key) const {
    QFile file(keyPath(key));
    return file.open(QIODevice::ReadOnly) && file.read(1) == "1";
}

BoardTrace BoardSandbox::trace() const {
    std::lock_guard<std::mutex> g(traceLock);
    reader.poll();
    return reader.trace();
}

BoardTrace BoardSandbox::waitForTrace(const QString& op, int count, int timeoutMs) const {
    waitUntilTrace([&](const BoardTrace& t) { return t.only(op).size() >= count; }, timeoutMs);
    return trace();
}

bool BoardSandbox::waitUntilTrace(const std::function<bool(const BoardTrace&)>& done,
                                  int timeoutMs) const {
    std::lock_guard<std::mutex> g(traceLock);
    return reader.waitUntil(done, timeoutMs);
}

} // namespace testkit
