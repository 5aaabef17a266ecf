#include "processusage.h"

#include <QDir>
#include <QFile>
#include <unistd.h>

CpuTime ProcessUsage::cpu(qint64 pid) {
    return {statSeconds(pid), schedSeconds(pid)};
}

double ProcessUsage::statSeconds(qint64 pid) {
    QFile stat(QString("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) {
        return -1;
    }
    QByteArray text = stat.readAll();
    // The fields after the command name (which may hold spaces) start past ')'.
    QList<QByteArray> f = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (f.size() < 13) {
        return -1;
    }
    return (f[11].toDouble() + f[12].toDouble()) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double ProcessUsage::schedSeconds(qint64 pid) {
    QDir tasks(QString("/proc/%1/task").arg(pid));
    const QStringList ids = tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    if (ids.isEmpty()) {
        return -1;
    }
    double ns = 0;
    for (const QString& id : ids) {
        QFile f(tasks.filePath(id + "/schedstat"));
        if (f.open(QIODevice::ReadOnly)) {
            ns += f.readAll().split(' ').value(0).toDouble();
        }
    }
    return ns / 1e9;
}

long ProcessUsage::memoryKb(qint64 pid, const char* field) {
    QFile status(QString("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(key)) {
            return line.mid(key.size()).simplified().split(' ').value(0).toLong();
        }
    }
    return -1;
}

double ProcessUsage::percent(double before, double after, double seconds) {
    if (before < 0 || after < 0 || seconds <= 0) {
        return -1;
    }
    return (after - before) / seconds * 100.0;
}
