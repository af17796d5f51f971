#include "bench/measure/session.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLocalSocket>
#include <QTimer>

#include <ctime>

qint64 monotonicNs()
{
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        const qint64 left = timeoutMs - clock.elapsed();
        if (left <= 0)
            return done();
        // Sleeps in the event loop until something arrives, or the wake-up timer after a short while.
        QTimer wake;
        wake.setSingleShot(true);
        wake.start(int(std::min<qint64>(left, 20)));
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

PanelRun::PanelRun(const QString &panelPath, const QString &probePath, const QString &socketPath,
    const QProcessEnvironment &env, QObject *parent)
    : QObject(parent)
    , m_panelPath(panelPath)
    , m_env(env)
{
    QLocalServer::removeServer(socketPath);
    m_server.listen(socketPath);
    m_env.insert(QStringLiteral("VALTRONA_PANEL_PROBE"), m_server.fullServerName());
    m_env.insert(QStringLiteral("LD_PRELOAD"), probePath);
    connect(&m_server, &QLocalServer::newConnection, this, [this] {
        QLocalSocket *s = m_server.nextPendingConnection();
        if (m_socket) {
            s->deleteLater();
            return;
        }
        m_socket = s;
        connect(s, &QLocalSocket::readyRead, this, &PanelRun::readProbe);
    });
    connect(&m_process, &QProcess::readyReadStandardError, this,
        [this] { m_stderr += m_process.readAllStandardError(); });
}

PanelRun::~PanelRun()
{
    stop(2000);
}

bool PanelRun::start(QString *error)
{
    if (!m_server.isListening()) {
        *error = QStringLiteral("the probe's socket could not be made: ") + m_server.errorString();
        return false;
    }
    m_process.setProcessEnvironment(m_env);
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    m_process.setStandardInputFile(QProcess::nullDevice());
    m_process.setStandardOutputFile(QProcess::nullDevice());
    m_launchedNs = monotonicNs();
    m_process.start(m_panelPath, {});
    if (!m_process.waitForStarted(5000)) {
        *error = QStringLiteral("the panel did not start: ") + m_process.errorString();
        return false;
    }
    if (!waitForLine("hello", 10000)) {
        *error = QStringLiteral("the probe never reported (is LD_PRELOAD honoured?): ")
            + QString::fromLocal8Bit(m_stderr);
        return false;
    }
    return true;
}

void PanelRun::readProbe()
{
    m_partial += m_socket->readAll();
    qsizetype nl;
    while ((nl = m_partial.indexOf('\n')) >= 0) {
        m_lines << m_partial.left(nl);
        m_partial.remove(0, nl + 1);
    }
}

std::optional<QByteArray> PanelRun::waitForLine(const QByteArray &prefix, int timeoutMs, int from)
{
    std::optional<QByteArray> found;
    waitFor(
        [&] {
            for (int i = from; i < m_lines.size(); ++i) {
                if (m_lines[i].startsWith(prefix)) {
                    found = m_lines[i];
                    return true;
                }
            }
            return m_process.state() == QProcess::NotRunning;
        },
        timeoutMs);
    return found;
}

qint64 PanelRun::lineTime(const QByteArray &line)
{
    return line.split(' ').constLast().toLongLong();
}

void PanelRun::send(const QByteArray &line)
{
    if (m_socket)
        m_socket->write(line + '\n');
}

void PanelRun::stop(int timeoutMs)
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    send("quit");
    if (m_socket)
        m_socket->flush();
    if (!m_process.waitForFinished(timeoutMs)) {
        m_process.kill();
        m_process.waitForFinished(3000);
    }
}
