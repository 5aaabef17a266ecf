// What running processes look like from /proc: CPU time, memory, threads
// and state.
#ifndef PROCESSUSAGE_H
#define PROCESSUSAGE_H

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QtGlobal>

namespace testkit {

struct CpuTime {
    double statSeconds = -1;  // utime + stime of /proc/<pid>/stat (clock-tick resolution)
    double schedSeconds = -1; // the threads' schedstat run time (ns resolution)
    double waitSeconds = -1;  // the threads' time runnable but waiting for a CPU
};

class ProcessUsage {
  public:
    // Whether this build's programs keep freed memory (the address
    // sanitizer's quarantine), so that resident memory says little about
    // what they hold.
#if defined(__SANITIZE_ADDRESS__)
    static constexpr bool keepsFreedMemory = true;
#elif defined(__has_feature)
    static constexpr bool keepsFreedMemory = __has_feature(address_sanitizer);
#else
    static constexpr bool keepsFreedMemory = false;
#endif

    // User and system CPU time so far; -1 when it cannot be read.
    static double cpuSeconds(qint64 pid);
    // The schedstat figures are summed over all threads, or are those of
    // thread `tid` alone when it is given.
    static CpuTime cpu(qint64 pid, qint64 tid = 0);
    // The ids of the process's threads.
    static QList<qint64> threads(qint64 pid);
    // The state letter ('S' while it sleeps, 'R' while it runs, 'T' while
    // stopped), 0 when it cannot be read.
    static char state(qint64 pid);
    // Voluntary context switches (sleeps) of each thread so far, by thread id.
    static QHash<qint64, long> sleeps(qint64 pid);
    // A "Vm..." field of /proc/<pid>/status in KiB, e.g. "VmRSS"; -1 if unknown.
    static long memoryKb(qint64 pid, const char* name);
    // Percent of one core used between two readings taken `seconds` apart.
    static double percent(double before, double after, double seconds);
    // The value of a "name: value" line of a /proc file such as status or
    // cpuinfo, trimmed; null when the file or the line is missing.
    static QByteArray field(const QString& file, const QByteArray& name);

  private:
    // A file of /proc/<pid>/task/<tid>; empty when it cannot be read.
    static QByteArray taskFile(qint64 pid, qint64 tid, const char* name);
    // Sums the run and wait times of the threads' schedstat into `t`.
    static void readSchedstat(qint64 pid, qint64 tid, CpuTime& t);
};

} // namespace testkit

#endif
