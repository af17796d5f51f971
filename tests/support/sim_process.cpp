#include "support/sim_process.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QTest>

bool waitUntil(const std::function<bool()> &condition, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return condition();
        QTest::qWait(5);
    }
    return true;
}

SimProcess::SimProcess(QObject *parent)
    : QObject(parent)
{
    m_process.setProgram(QStringLiteral(VALTRONA_SIM_PATH));
    connect(&m_process, &QProcess::readyReadStandardOutput, this, &SimProcess::readStdout);
    connect(&m_process, &QProcess::readyReadStandardError, this,
        [this] { m_stderr += m_process.readAllStandardError(); });
}

SimProcess::~SimProcess()
{
    stop();
}

QString SimProcess::linkPath() const
{
    return m_dir.filePath(QStringLiteral("ttySIM"));
}
QString SimProcess::logPath() const
{
    return m_dir.filePath(QStringLiteral("sim-log.jsonl"));
}
QString SimProcess::stateFilePath() const
{
    return m_dir.filePath(QStringLiteral("sim-state.json"));
}

bool SimProcess::start(const QStringList &extraArgs, int timeoutMs)
{
    if (!m_dir.isValid())
        return false;
    QStringList args { "--link", linkPath() };
    if (m_recording)
        args << "--log" << logPath() << "--state-file" << stateFilePath();
    m_process.setArguments(args + extraArgs);
    m_process.start();
    if (!m_process.waitForStarted(timeoutMs))
        return false;
    return waitUntil([this] { return !m_device.isEmpty() || !isRunning(); }, timeoutMs)
        && !m_device.isEmpty();
}

void SimProcess::stop()
{
    if (!isRunning())
        return;
    m_process.write("quit\n");
    if (!m_process.waitForFinished(3000)) {
        m_process.kill();
        m_process.waitForFinished(3000);
    }
}

void SimProcess::readStdout()
{
    m_stdoutPartial += m_process.readAllStandardOutput();
    qsizetype nl;
    while ((nl = m_stdoutPartial.indexOf('\n')) >= 0) {
        const QString line = QString::fromLocal8Bit(m_stdoutPartial.left(nl));
        m_stdoutPartial.remove(0, nl + 1);
        if (line.startsWith(QLatin1String("device ")))
            m_device = line.mid(7);
        m_lines.append(line);
    }
}

QStringList SimProcess::command(const QString &line, bool *ok, int timeoutMs)
{
    if (ok)
        *ok = false;
    if (!isRunning())
        return {};
    const qsizetype from = m_lines.size();
    m_process.write(line.toLocal8Bit() + '\n');
    qsizetype end = -1;
    waitUntil(
        [&] {
            for (qsizetype i = from; i < m_lines.size(); ++i) {
                if (m_lines[i].startsWith(QLatin1String("ok "))
                    || m_lines[i].startsWith(QLatin1String("error "))) {
                    end = i;
                    return true;
                }
            }
            return !isRunning();
        },
        timeoutMs);
    if (end < 0)
        return {};
    if (ok)
        *ok = m_lines[end].startsWith(QLatin1String("ok "));
    return m_lines.mid(from, end - from);
}

void SimProcess::require(const QString &line)
{
    bool ok = false;
    command(line, &ok);
    QVERIFY2(ok, qPrintable(line));
}

QJsonObject SimProcess::state()
{
    bool ok = false;
    const QStringList lines = command(QStringLiteral("state"), &ok);
    for (const QString &l : lines) {
        if (l.startsWith(QLatin1String("state ")))
            return QJsonDocument::fromJson(l.mid(6).toUtf8()).object();
    }
    return {};
}

QJsonObject SimProcess::stateFile() const
{
    QFile f(stateFilePath());
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(f.readAll()).object();
}

bool SimProcess::unplug()
{
    bool ok = false;
    command(QStringLiteral("unplug"), &ok);
    return ok;
}

bool SimProcess::replug()
{
    bool ok = false;
    command(QStringLiteral("replug"), &ok); // the "device" line it prints updates m_device
    return ok;
}

QList<QJsonObject> SimProcess::logRecords(const QString &event) const
{
    QList<QJsonObject> records;
    QFile f(logPath());
    if (!f.open(QIODevice::ReadOnly))
        return records;
    while (!f.atEnd()) {
        const QByteArray line = f.readLine();
        if (!line.endsWith('\n'))
            break; // a record still being written
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        if (event.isEmpty() || o.value(QLatin1String("event")).toString() == event)
            records.append(o);
    }
    return records;
}

int SimProcess::framesOf(const QString &command) const
{
    int n = 0;
    for (const QJsonObject &f : frames())
        n += f.value(QLatin1String("command")).toString() == command;
    return n;
}

bool SimProcess::waitForRecords(const QString &event, int count, int timeoutMs) const
{
    return waitUntil([&] { return logRecords(event).size() >= count; }, timeoutMs);
}
