#include "processusage.h"

#include "programrun.h"

#include <QDir>
#include <QFile>
#include <unistd.h>

CpuTime ProcessUsage::cpu(qint64 pid, qint64 tid) {
    CpuTime t;
    t.statSeconds = statSeconds(pid);
    readSchedstat(pid, tid, t);
    return t;
}

QHash<qint64, long> ProcessUsage::sleeps(qint64 pid) {
    QHash<qint64, long> out;
    QDir tasks(QString("/proc/%1/task").arg(pid));
    const QByteArray key = "voluntary_ctxt_switches:";
    for (const QString& id : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile f(tasks.filePath(id + "/status"));
        if (!f.open(QIODevice::ReadOnly)) {
            continue;
        }
        for (const QByteArray& line : f.readAll().split('\n')) {
            if (line.startsWith(key)) {
                out[id.toLongLong()] = line.mid(key.size()).trimmed().toLong();
            }
        }
    }
    return out;
}

double ProcessUsage::statSeconds(qint64 pid) {
    return testkit::ProgramRun::cpuSecondsOf(pid);
}

void ProcessUsage::readSchedstat(qint64 pid, qint64 tid, CpuTime& t) {
    QDir tasks(QString("/proc/%1/task").arg(pid));
    const QStringList ids = tid > 0 ? QStringList{QString::number(tid)}
                                    : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    if (ids.isEmpty()) {
        return;
    }
    double runNs = 0, waitNs = 0;
    for (const QString& id : ids) {
        QFile f(tasks.filePath(id + "/schedstat"));
        if (f.open(QIODevice::ReadOnly)) {
            QList<QByteArray> fields = f.readAll().split(' ');
            runNs += fields.value(0).toDouble();
            waitNs += fields.value(1).toDouble();
        }
    }
    t.schedSeconds = runNs / 1e9;
    t.waitSeconds = waitNs / 1e9;
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
