#pragma once

#include <QString>
#include <QtGlobal>

// What /proc tells about a running process: CPU time used, memory held, and the files it has open.
namespace proc_stats {

// utime + stime in seconds, or -1 when the process is gone.
double cpuSeconds(qint64 pid);

// A "kB" line of /proc/<pid>/status ("VmRSS", "VmHWM", ...) in MiB, or -1.
double statusMiB(qint64 pid, const char *field);

// Whether one of the process's open files is `device` (compared after resolving links).
bool hasOpen(qint64 pid, const QString &device);

} // namespace proc_stats
