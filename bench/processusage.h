// CPU time and memory of a running process, from /proc.
#ifndef PROCESSUSAGE_H
#define PROCESSUSAGE_H

#include <QHash>
#include <QtGlobal>

struct CpuTime {
    double statSeconds = -1;  // utime + stime of /proc/<pid>/stat (clock-tick resolution)
    double schedSeconds = -1; // the threads' schedstat run time (ns resolution)
    double waitSeconds = -1;  // the threads' time runnable but waiting for a CPU
};

class ProcessUsage {
  public:
    // The schedstat figures are summed over all threads, or are those of
    // thread `tid` alone when it is given.
    static CpuTime cpu(qint64 pid, qint64 tid = 0);
    // Voluntary context switches (sleeps) of each thread so far, by thread id.
    static QHash<qint64, long> sleeps(qint64 pid);
    // A "Vm..." field of /proc/<pid>/status in KiB, e.g. "VmRSS"; -1 if unknown.
    static long memoryKb(qint64 pid, const char* field);
    // Percent of one core used between two readings taken `seconds` apart.
    static double percent(double before, double after, double seconds);

  private:
    static double statSeconds(qint64 pid);
    // Sums the run and wait times of the threads' schedstat into `t`.
    static void readSchedstat(qint64 pid, qint64 tid, CpuTime& t);
};

#endif
