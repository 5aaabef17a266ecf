#include "boardsandbox.h"

#include <QDir>
#include <QFile>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace testkit {

BoardSandbox::BoardSandbox() {
    if (!tmp.isValid()) {
        qWarning("testkit: no temporary folder for the board: %s", qPrintable(tmp.errorString()));
    } else if (!QDir(tmp.path()).mkpath("keys")) {
        qWarning("testkit: cannot make %s", qPrintable(keysDir()));
    }
}

QString BoardSandbox::root() {
    static const QString where = [] {
        if (qEnvironmentVariableIsEmpty("TMPDIR") && access("/dev/shm", W_OK | X_OK) == 0) {
            return QString("/dev/shm");
        }
        return QDir::tempPath();
    }();
    return where;
}

QString BoardSandbox::keyPath(int key) const {
    return QDir(keysDir()).filePath(QString("key%1").arg(key));
}

bool BoardSandbox::setKey(int key, bool pressed) const {
    return setKeyFile(key, pressed ? "1" : "0");
}

bool BoardSandbox::setKeyFile(int key, const QByteArray& content) const {
    QString path = keyPath(key);
    QString part = path + ".part";
    QFile file(part);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(content) != content.size() || !file.flush()) {
        qWarning("testkit: cannot write %s: %s", qPrintable(part), qPrintable(file.errorString()));
        return false;
    }
    file.close();
    if (std::rename(QFile::encodeName(part).constData(), QFile::encodeName(path).constData()) !=
        0) {
        qWarning("testkit: cannot rename %s: %s", qPrintable(part), strerror(errno));
        return false;
    }
    return true;
}

bool BoardSandbox::removeKeyFile(int key) const {
    QFile file(keyPath(key));
    if (file.exists() && !file.remove()) {
        qWarning("testkit: cannot remove %s: %s", qPrintable(file.fileName()),
                 qPrintable(file.errorString()));
        return false;
    }
    return true;
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
