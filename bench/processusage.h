// CPU time and memory of a running process, from /proc.
#ifndef PROCESSUSAGE_H
#define PROCESSUSAGE_H

#include <QtGlobal>

struct CpuTime {
    double statSeconds = -1;  // utime + stime of /proc/<pid>/stat (clock-tick resolution)
    double schedSeconds = -1; // sum of the threads' schedstat run time (ns resolution)
};

class ProcessUsage {
  public:
    static CpuTime cpu(qint64 pid);
    // A "Vm..." field of /proc/<pid>/status in KiB, e.g. "VmRSS"; -1 if unknown.
    static long memoryKb(qint64 pid, const char* field);
    // Percent of one core used between two readings taken `seconds` apart.
    static double percent(double before, double after, double seconds);

  private:
    static double statSeconds(qint64 pid);
    static double schedSeconds(qint64 pid);
};

#endif
