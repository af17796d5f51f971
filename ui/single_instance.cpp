#include "ui/single_instance.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString reason(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

// Whether `path` is a folder (not a link) of this user's that no one else may enter or write.
bool isPrivateFolder(const QString &path, struct stat *st = nullptr)
{
    struct stat own;
    if (!st)
        st = &own;
    return ::lstat(QFile::encodeName(path).constData(), st) == 0 && S_ISDIR(st->st_mode)
        && st->st_uid == ::getuid() && (st->st_mode & 077) == 0;
}

// Whether the other end of a connected local socket runs under this user id.
bool peerIsThisUser(qintptr descriptor)
{
    struct ucred peer {
    };
    socklen_t size = sizeof peer;
    return descriptor >= 0 && ::getsockopt(int(descriptor), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0
        && peer.uid == ::getuid();
}

QString fallbackFolder()
{
    return QDir(QDir::tempPath()).filePath(QStringLiteral("valtrona-panel-%1").arg(::getuid()));
}

} // namespace

SingleInstance::SingleInstance(const QString &storePath, QObject *parent)
    : QObject(parent)
    , m_name(serverName(storePath))
{
}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::socketFolder()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (QDir::isAbsolutePath(runtime) && isPrivateFolder(runtime))
        return QDir::cleanPath(runtime);
    return fallbackFolder();
}

QString SingleInstance::serverName(const QString &storePath)
{
    const QByteArray hash
        = QCryptographicHash::hash(QFile::encodeName(QDir::cleanPath(storePath)), QCryptographicHash::Sha256)
              .toHex()
              .left(16);
    return QDir(socketFolder()).filePath(QStringLiteral("valtrona-panel-%1").arg(QString::fromLatin1(hash)));
}

// Makes the folder of the socket when it is the panel's own in the temporary folder, and checks
// that it is this user's alone: a folder another user made first, or a link, is not used.
bool SingleInstance::makeFolder()
{
    const QString folder = QFileInfo(m_name).absolutePath();
    const QByteArray native = QFile::encodeName(folder);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST) {
        m_problem = tr("A second copy of the panel on these settings would not be noticed: the folder %1 "
                       "could not be made (%2).")
                        .arg(QDir::toNativeSeparators(folder), reason(errno));
        return false;
    }
    struct stat st;
    if (isPrivateFolder(folder, &st))
        return true;
    // Ours but open to others (made so by hand): closed again.
    if (S_ISDIR(st.st_mode) && st.st_uid == ::getuid() && ::chmod(native.constData(), 0700) == 0
        && isPrivateFolder(folder))
        return true;
    m_problem = tr("A second copy of the panel on these settings would not be noticed: the folder %1 is "
                   "not this user's own (it is a link, belongs to another user or others may write in "
                   "it).")
                    .arg(QDir::toNativeSeparators(folder));
    return false;
}

SingleInstance::Claim SingleInstance::claim(const char *request)
{
    m_problem.clear();
    if (!makeFolder())
        return Claim::Unguarded;
    // Two copies started at the same moment would both find no server and both listen; the lock
    // makes the second wait until the first serves. A lock left by a killed copy names a process
    // that is gone, and QLockFile takes it over.
    QLockFile lock(m_name + QStringLiteral(".lock"));
    const bool locked = lock.tryLock(10000);
    if (askRunningCopy(request) == Asked::Copy)
        return Claim::HandedOver;
    const bool served = serve();
    if (locked)
        lock.unlock();
    return served ? Claim::First : Claim::Unguarded;
}

SingleInstance::Asked SingleInstance::askRunningCopy(const char *request)
{
    const QDeadlineTimer deadline(kAnswerMs);
    QLocalSocket socket;
    socket.connectToServer(m_name);
    if (!socket.waitForConnected(int(deadline.remainingTime())))
        return Asked::Nobody;
    // Only the folder's own user can have put a socket there; should another user's listener be
    // behind it all the same, it is no copy of this panel, and is replaced.
    if (!peerIsThisUser(socket.socketDescriptor())) {
        socket.abort();
        return Asked::Stranger;
    }
    socket.write(QByteArray(request) + '\n');
    socket.waitForBytesWritten(int(deadline.remainingTime()));
    // A copy that accepted the connection is running, whether or not it answers in time; what it
    // says is read up to one short line within the same deadline, however it trickles in.
    QByteArray said;
    while (said.size() < kMaxAnswer && !said.contains('\n') && !deadline.hasExpired()) {
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(int(deadline.remainingTime())))
            break;
        said += socket.read(kMaxAnswer - said.size());
    }
    const qsizetype end = said.indexOf('\n');
    m_answer = end < 0 ? QString() : QString::fromLatin1(said.left(end)).trimmed();
    socket.abort();
    return Asked::Copy;
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
    m_problem = tr("A second copy of the panel on these settings would not be noticed: %1 could not be "
                   "served (%2).")
                    .arg(QDir::toNativeSeparators(m_name), m_server->errorString());
    delete m_server;
    m_server = nullptr;
    return false;
}

void SingleInstance::onConnection()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        if (!peerIsThisUser(socket->socketDescriptor())) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine()) {
                if (socket->bytesAvailable() > kMaxAnswer)
                    socket->disconnectFromServer();
                return;
            }
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
