#include "support/headless_process.h"

#include "support/sim_process.h"

#include <QFile>

#include <csignal>
#include <unistd.h>

HeadlessProcess::HeadlessProcess(QObject *parent)
    : QObject(parent)
{
    m_process.setProgram(QStringLiteral(VALTRONA_PANEL_PATH));
    m_process.setProcessEnvironment(environment());
    connect(&m_process, &QProcess::readyReadStandardError, this, &HeadlessProcess::readStderr);
}

HeadlessProcess::~HeadlessProcess()
{
    if (isRunning()) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

QProcessEnvironment HeadlessProcess::environment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : { "DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM" })
        env.remove(QLatin1String(name));
    return env;
}

QByteArray HeadlessProcess::storeText(const QString &device, const QByteArray &extra)
{
    return "[Ports]\nCOM1=" + device.toUtf8() + "\n\n[ValtronaAmp%2B]\nCOMSelected=1\n\n" + extra;
}

bool HeadlessProcess::start(const QStringList &extraArgs)
{
    m_process.setArguments(QStringList { QStringLiteral("--headless") } + extraArgs);
    m_process.start();
    return m_process.waitForStarted(10000);
}

bool HeadlessProcess::sendSignal(int signal) const
{
    return isRunning() && ::kill(pid_t(m_process.processId()), signal) == 0;
}

bool HeadlessProcess::waitForExit(int timeoutMs)
{
    const bool ended = waitUntil([this] { return !isRunning(); }, timeoutMs);
    readStderr();
    return ended;
}

int HeadlessProcess::count(const QString &part) const
{
    int n = 0;
    for (const QString &line : m_lines)
        n += line.contains(part) ? 1 : 0;
    return n;
}

bool HeadlessProcess::waitForLines(const QString &part, int n, int timeoutMs)
{
    return waitUntil([&] { return count(part) >= n; }, timeoutMs);
}

double HeadlessProcess::cpuSeconds() const
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(m_process.processId()));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    // The fields after the command name, which is in parentheses and may hold blanks.
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    const double ticks = fields[11].toDouble() + fields[12].toDouble(); // utime, stime
    return ticks / double(::sysconf(_SC_CLK_TCK));
}

void HeadlessProcess::readStderr()
{
    m_partial += m_process.readAllStandardError();
    qsizetype nl;
    while ((nl = m_partial.indexOf('\n')) >= 0) {
        m_lines.append(QString::fromLocal8Bit(m_partial.left(nl)));
        m_partial.remove(0, nl + 1);
    }
}
