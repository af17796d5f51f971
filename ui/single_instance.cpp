#include "ui/single_instance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

constexpr int kConnectMs = 1000;
constexpr int kAnswerMs = 5000;

QString userKey()
{
#ifdef Q_OS_UNIX
    return QString::number(::getuid());
#else
    return qEnvironmentVariable("USERNAME");
#endif
}

} // namespace

SingleInstance::SingleInstance(const QString &storePath, QObject *parent)
    : QObject(parent)
    , m_name(serverName(storePath))
{
}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::serverName(const QString &storePath)
{
    const QByteArray hash
        = QCryptographicHash::hash(QFile::encodeName(QDir::cleanPath(storePath)), QCryptographicHash::Sha256)
              .toHex()
              .left(16);
    return QStringLiteral("valtrona-panel-%1-%2").arg(userKey(), QString::fromLatin1(hash));
}

SingleInstance::Claim SingleInstance::claim(const char *request)
{
    // Two copies started at the same moment would both find no server and both listen; the lock
    // makes the second wait until the first serves. A lock left by a killed copy names a process
    // that is gone, and QLockFile takes it over.
    QLockFile lock(QDir(QDir::tempPath()).filePath(m_name + QStringLiteral(".lock")));
    const bool locked = lock.tryLock(10000);
    if (askRunningCopy(request))
        return Claim::HandedOver;
    const bool served = serve();
    if (locked)
        lock.unlock();
    return served ? Claim::First : Claim::Unguarded;
}

bool SingleInstance::askRunningCopy(const char *request)
{
    QLocalSocket socket;
    socket.connectToServer(m_name);
    if (!socket.waitForConnected(kConnectMs))
        return false;
    socket.write(QByteArray(request) + '\n');
    socket.waitForBytesWritten(kConnectMs);
    // A copy that accepted the connection is running, whether or not it answers in time.
    while (!socket.canReadLine() && socket.waitForReadyRead(kAnswerMs)) { }
    m_answer = QString::fromLatin1(socket.readLine()).trimmed();
    socket.disconnectFromServer();
    return true;
}

bool SingleInstance::serve()
{
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::onConnection);
    // Nobody answered: a socket that is still there was left by a copy that died without closing it.
    QLocalServer::removeServer(m_name);
    if (m_server->listen(m_name))
        return true;
    delete m_server;
    m_server = nullptr;
    return false;
}

void SingleInstance::onConnection()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine())
                return;
            const QByteArray line = socket->readLine().trimmed();
            const bool ask = line == kAsk;
            if (line != kRequest && !ask) {
                socket->disconnectFromServer();
                return;
            }
            const char *answer = m_headless  ? kHeadless
                : ask                        ? kWindow
                : m_activate && m_activate() ? kShown
                                             : kNotShown;
            socket->write(QByteArray(answer) + '\n');
            socket->flush();
            socket->disconnectFromServer();
        });
    }
}
