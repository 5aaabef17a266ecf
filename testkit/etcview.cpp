#include "etcview.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace testkit {

EtcView::EtcView(const QString& dir, const std::optional<QByteArray>& config,
                 const std::function<bool(const QString&)>& place) {
    // Each run gets folders of its own: one still running keeps its own mounted.
    QTemporaryDir folders(QDir(dir).filePath("etc-XXXXXX"));
    if (!folders.isValid()) {
        fail(QString("cannot make a folder in %1: %2").arg(dir, folders.errorString()));
        return;
    }
    folders.setAutoRemove(false); // the board's folder goes, and this with it
    // The layer holds only the mount point, so that /etc/qor-driver exists
    // whether or not the machine has it.
    QString layer = folders.filePath("layer");
    QString driverPath = folders.filePath("qor-driver");
    if (!QDir().mkpath(layer + "/qor-driver") || !QDir().mkpath(driverPath)) {
        fail("cannot make the folders in " + folders.path());
        return;
    }
    options = QFile::encodeName("lowerdir=" + layer + ":/etc");
    driver = QFile::encodeName(driverPath);
    QString path = driverPath + "/relay-conf.json";
    if (config) {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(*config) != config->size() ||
            !file.flush()) {
            fail(QString("cannot write %1: %2").arg(path, file.errorString()));
        }
    } else if (place && !place(path)) {
        fail("cannot make what the run has at " + path);
    }
}

bool EtcView::fail(const QString& what) {
    problem = what;
    return false;
}

} // namespace testkit
