#include "support/ser2net_process.h"

#include "support/sim_process.h"

#include <QFile>
#include <QStandardPaths>
#include <QTcpServer>

#include <csignal>

Ser2netProcess::Ser2netProcess(Accepter accepter)
    : m_accepter(accepter)
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
}

Ser2netProcess::~Ser2netProcess()
{
    resume();
    kill();
}

quint16 Ser2netProcess::freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

bool Ser2netProcess::isListening(quint16 port)
{
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly))
        return false;
    // "sl local_address rem_address st ...": 0100007F:PORT for 127.0.0.1, state 0A for LISTEN.
    const QByteArray local = "0100007F:" + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const QByteArray &line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 3 && fields[1] == local && fields[3] == "0A")
            return true;
    }
    return false;
}

QString Ser2netProcess::entry() const
{
    return QStringLiteral("%1://127.0.0.1:%2")
        .arg(m_accepter == Accepter::Rfc2217 ? QStringLiteral("rfc2217") : QStringLiteral("tcp"))
        .arg(m_port);
}

bool Ser2netProcess::start(const QString &device, int timeoutMs)
{
    if (isRunning())
        return true;
    const QString program
        = QStandardPaths::findExecutable(QStringLiteral("ser2net"), { "/usr/sbin", "/usr/bin" });
    if (program.isEmpty()) {
        m_error = QStringLiteral("ser2net is not installed");
        return false;
    }
    if (m_port == 0)
        m_port = freePort();
    const bool rfc2217 = m_accepter == Accepter::Rfc2217;
    // kickolduser off (the default, said here for the reader): a second client is turned away with
    // "Port already in use".
    m_config = QStringLiteral("%YAML 1.1\n---\n"
                              "connection: &panel\n"
                              "  accepter: %1tcp,127.0.0.1,%2\n"
                              "  connector: serialdev,%3,%4,local\n"
                              "  options:\n"
                              "    kickolduser: false\n")
                   .arg(rfc2217 ? QStringLiteral("telnet(rfc2217),") : QString())
                   .arg(m_port)
                   .arg(device, rfc2217 ? QStringLiteral("19200n81") : QStringLiteral("9600n81"));
    const QString path = m_dir.filePath(QStringLiteral("ser2net.yaml"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(m_config.toUtf8()) < 0) {
        m_error = QStringLiteral("cannot write %1").arg(path);
        return false;
    }
    file.close();
    // -d: in the foreground, its log on standard output; -u: no UUCP lock file.
    m_process.start(program, { "-d", "-u", "-c", path });
    if (!m_process.waitForStarted(timeoutMs)) {
        m_error = m_process.errorString();
        return false;
    }
    if (!waitUntil([this] { return isListening(m_port) || !isRunning(); }, timeoutMs) || !isRunning()) {
        m_error = QStringLiteral("ser2net did not listen on %1: %2")
                      .arg(m_port)
                      .arg(QString::fromLocal8Bit(m_process.readAll()));
        kill();
        return false;
    }
    return true;
}

void Ser2netProcess::kill()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished(5000);
}

bool Ser2netProcess::pause()
{
    return isRunning() && ::kill(pid_t(m_process.processId()), SIGSTOP) == 0;
}

bool Ser2netProcess::resume()
{
    return isRunning() && ::kill(pid_t(m_process.processId()), SIGCONT) == 0;
}
