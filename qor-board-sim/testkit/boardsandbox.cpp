#include "boardsandbox.h"

#include <QDir>
#include <QFile>
#include <cstdio>

namespace testkit {

BoardSandbox::BoardSandbox() { QDir(tmp.path()).mkpath("keys"); }

void BoardSandbox::setKey(int key, bool pressed) const { setKeyFile(key, pressed ? "1" : "0"); }

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

} // namespace testkit
