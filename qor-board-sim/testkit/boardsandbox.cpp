#include "boardsandbox.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <cstdio>

namespace testkit {

BoardSandbox::BoardSandbox() {
    QDir(tmp.path()).mkpath("keys");
}

void BoardSandbox::setKey(int key, bool pressed) const {
    setKeyFile(key, pressed ? "1" : "0");
}

void BoardSandbox::setKeyFile(int key, const QByteArray& content) const {
    QString path = QDir(keysDir()).filePath(QString("key%1").arg(key));
    QString part = path + ".part";
    QFile file(part);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        file.write(content);
        file.close();
        std::rename(QFile::encodeName(part).constData(), QFile::encodeName(path).constData());
    }
}

void BoardSandbox::removeKeyFile(int key) const {
    QFile::remove(QDir(keysDir()).filePath(QString("key%1").arg(key)));
}

BoardTrace BoardSandbox::waitForTrace(const QString& op, int count, int timeoutMs) const {
    QElapsedTimer t;
    t.start();
    BoardTrace now = trace();
    while (now.only(op).size() < count && t.elapsed() < timeoutMs) {
        QThread::msleep(20);
        now = trace();
    }
    return now;
}

} // namespace testkit
