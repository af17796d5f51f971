#include "bench/measure/proc_stats.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <unistd.h>

namespace proc_stats {

namespace {

QByteArray readProc(qint64 pid, const char *name)
{
    QFile f(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(name)));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

} // namespace

double cpuSeconds(qint64 pid)
{
    const QByteArray stat = readProc(pid, "stat");
    // The command name is in parentheses and may hold blanks: count fields after the last ')'.
    const qsizetype close = stat.lastIndexOf(')');
    if (close < 0)
        return -1;
    const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
    // Field 3 of stat is the first after ')': utime is field 14, stime field 15.
    if (fields.size() < 13)
        return -1;
    const double ticks = fields[11].toDouble() + fields[12].toDouble();
    return ticks / double(::sysconf(_SC_CLK_TCK));
}

double statusMiB(qint64 pid, const char *field)
{
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray &line : readProc(pid, "status").split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return -1;
}

bool hasOpen(qint64 pid, const QString &device)
{
    const QString wanted = QFileInfo(device).canonicalFilePath();
    if (wanted.isEmpty())
        return false;
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
    for (const QString &fd : fds.entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System)) {
        if (QFileInfo(fds.filePath(fd)).symLinkTarget() == wanted)
            return true;
    }
    return false;
}

} // namespace proc_stats
