#include "support/clocks.h"

#include <QByteArray>
#include <QFile>
#include <QList>

#include <ctime>

double monotonicMs()
{
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) * 1000.0 + double(ts.tv_nsec) / 1e6;
}

double cpuWaitMs()
{
    // Three figures: time on a CPU, time waiting on a run queue (both in ns), time slices run.
    QFile stat(QStringLiteral("/proc/thread-self/schedstat"));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = stat.readAll().simplified().split(' ');
    bool ok = false;
    const qint64 waitNs = fields.value(1).toLongLong(&ok);
    return ok ? double(waitNs) / 1e6 : -1;
}
