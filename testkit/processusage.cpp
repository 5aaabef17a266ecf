#include "processusage.h"

#include <QDir>
#include <QFile>
#include <unistd.h>

namespace testkit {

double ProcessUsage::cpuSeconds(qint64 pid) {
    QFile stat(QString("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) {
        return -1;
    }
    QByteArray text = stat.readAll();
    // Fields after the command name, which may hold spaces, start past ')'.
    QList<QByteArray> f = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (f.size() < 13) {
        return -1;
    }
    return (f[11].toDouble() + f[12].toDouble()) / sysconf(_SC_CLK_TCK);
}

CpuTime ProcessUsage::cpu(qint64 pid, qint64 tid) {
    CpuTime t;
    t.statSeconds = cpuSeconds(pid);
    readSchedstat(pid, tid, t);
    return t;
}

QList<qint64> ProcessUsage::threads(qint64 pid) {
    QList<qint64> ids;
    QDir tasks(QString("/proc/%1/task").arg(pid));
    for (const QString& id : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        ids << id.toLongLong();
    }
    return ids;
}

char ProcessUsage::state(qint64 pid) {
    QByteArray state = field(QString("/proc/%1/status").arg(pid), "State");
    return state.isEmpty() ? 0 : state[0];
}

QHash<qint64, long> ProcessUsage::sleeps(qint64 pid) {
    QHash<qint64, long> out;
    for (qint64 tid : threads(pid)) {
        QByteArray n =
            field(QString("/proc/%1/task/%2/status").arg(pid).arg(tid), "voluntary_ctxt_switches");
        if (!n.isNull()) {
            out[tid] = n.toLong();
        }
    }
    return out;
}

void ProcessUsage::readSchedstat(qint64 pid, qint64 tid, CpuTime& t) {
    const QList<qint64> ids = tid > 0 ? QList<qint64>{tid} : threads(pid);
    if (ids.isEmpty()) {
        return;
    }
    double runNs = 0, waitNs = 0;
    for (qint64 id : ids) {
        QList<QByteArray> fields = taskFile(pid, id, "schedstat").split(' ');
        runNs += fields.value(0).toDouble();
        waitNs += fields.value(1).toDouble();
    }
    t.schedSeconds = runNs / 1e9;
    t.waitSeconds = waitNs / 1e9;
}

QByteArray ProcessUsage::taskFile(qint64 pid, qint64 tid, const char* name) {
    QFile f(QString("/proc/%1/task/%2/%3").arg(pid).arg(tid).arg(name));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

long ProcessUsage::memoryKb(qint64 pid, const char* name) {
    QByteArray value = field(QString("/proc/%1/status").arg(pid), name);
    return value.isNull() ? -1 : value.split(' ').value(0).toLong();
}

double ProcessUsage::percent(double before, double after, double seconds) {
    if (before < 0 || after < 0 || seconds <= 0) {
        return -1;
    }
    return (after - before) / seconds * 100.0;
}

QByteArray ProcessUsage::field(const QString& file, const QByteArray& name) {
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly)) {
        return QByteArray();
    }
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (!line.startsWith(name)) {
            continue;
        }
        QByteArray rest = line.mid(name.size()).trimmed();
        if (rest.startsWith(':')) {
            return rest.mid(1).trimmed();
        }
    }
    return QByteArray();
}

} // namespace testkit
