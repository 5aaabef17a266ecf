#include "etcoverlay.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>

namespace testkit {

namespace {

const char driverFolder[] = "qor-driver";

} // namespace

EtcOverlay::EtcOverlay(const QString& dir, bool withConfig, const QByteArray& config) {
    if (makeFolders(dir)) {
        withConfig ? writeDriverFolder(config) : hideDriverFolder();
    }
}

// Each run gets layers of its own: one still running keeps its own mounted.
bool EtcOverlay::makeFolders(const QString& dir) {
    QTemporaryDir layers(QDir(dir).filePath("etc-XXXXXX"));
    if (!layers.isValid()) {
        return fail(QString("cannot make a folder in %1: %2").arg(dir, layers.errorString()));
    }
    layers.setAutoRemove(false); // the board's folder goes, and this with it
    upper = layers.filePath("up");
    QString work = layers.filePath("work");
    if (!QDir().mkpath(upper) || !QDir().mkpath(work)) {
        return fail(QString("cannot make %1 or %2").arg(upper, work));
    }
    options = QFile::encodeName(QString("lowerdir=/etc,upperdir=%1,workdir=%2").arg(upper, work));
    return true;
}

bool EtcOverlay::hideDriverFolder() {
    QByteArray path = QFile::encodeName(QDir(upper).filePath(driverFolder));
    if (mknod(path.constData(), S_IFCHR | 0600, makedev(0, 0)) != 0) {
        return fail(QString("mknod %1: %2").arg(path.constData(), strerror(errno)));
    }
    return true;
}

bool EtcOverlay::writeDriverFolder(const QByteArray& config) {
    QString folder = QDir(upper).filePath(driverFolder);
    QByteArray path = QFile::encodeName(folder);
    if (!QDir().mkpath(folder)) {
        return fail("cannot make " + folder);
    }
    if (setxattr(path.constData(), "trusted.overlay.opaque", "y", 1, 0) != 0) {
        return fail(QString("setxattr %1: %2").arg(folder, strerror(errno)));
    }
    QFile file(QDir(folder).filePath("relay-conf.json"));
    if (!file.open(QIODevice::WriteOnly) || file.write(config) != config.size() || !file.flush()) {
        return fail(QString("cannot write %1: %2").arg(file.fileName(), file.errorString()));
    }
    return true;
}

bool EtcOverlay::fail(const QString& what) {
    problem = what;
    return false;
}

} // namespace testkit
