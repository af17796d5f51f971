#include "ui/single_instance.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
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
bool peerIsThisUser(int descriptor)
{
    struct ucred peer {
    };
    socklen_t size = sizeof peer;
    return descriptor >= 0 && ::getsockopt(descriptor, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0
        && peer.uid == ::getuid();
}

bool toAddress(const QString &path, sockaddr_un *address)
{
    const QByteArray native = QFile::encodeName(path);
    *address = {};
    address->sun_family = AF_UNIX;
    if (native.isEmpty() || native.size() >= qsizetype(sizeof address->sun_path))
        return false;
    std::memcpy(address->sun_path, native.constData(), size_t(native.size()));
    return true;
}

// Waits until `fd` is ready for `events` or `deadline` passes; false on timeout or error.
bool waitFor(int fd, short events, const QDeadlineTimer &deadline)
{
    while (true) {
        pollfd p { fd, events, 0 };
        const int n = ::poll(&p, 1, int(std::min<qint64>(deadline.remainingTime(), INT_MAX)));
        if (n > 0)
            return true;
        if (n == 0 || errno != EINTR)
            return false;
    }
}

// Writes all of `bytes` to a non-blocking socket, waiting up to `deadline`; false when it could not.
bool writeAll(int fd, const QByteArray &bytes, const QDeadlineTimer &deadline)
{
    qsizetype at = 0;
    while (at < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.constData() + at, size_t(bytes.size() - at), MSG_NOSIGNAL);
        if (n > 0)
            at += n;
        else if (n < 0 && errno == EINTR)
            continue;
        else if (n < 0 && errno == EAGAIN && waitFor(fd, POLLOUT, deadline))
            continue;
        else
            return false;
    }
    return true;
}

// The start-up lock: two copies started at the same moment would both find no server and both
// listen; the lock makes the second wait until the first serves. It is an flock on a file beside
// the socket: the system lets go of it when its holder ends, however it ends, and nothing is
// written or synced to the disk for it. It is released by removing the file and then closing it;
// a copy that locked a file removed meanwhile locks the one that is there now.
class StartupLock
{
public:
    StartupLock(const QString &path, int waitMs)
        : m_path(QFile::encodeName(path))
    {
        const QDeadlineTimer deadline(waitMs);
        while (m_fd < 0) {
            const int fd = ::open(m_path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
            if (fd < 0)
                return; // go on unlocked, as a lock that cannot be taken in time
            bool held = true;
            while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
                if ((errno != EWOULDBLOCK && errno != EINTR) || deadline.hasExpired()) {
                    held = false;
                    break;
                }
                QThread::msleep(5);
            }
            struct stat locked {
            }, named {};
            if (held && ::fstat(fd, &locked) == 0 && ::stat(m_path.constData(), &named) == 0
                && locked.st_dev == named.st_dev && locked.st_ino == named.st_ino) {
                m_fd = fd;
                return;
            }
            ::close(fd);
            if (!held)
                return;
        }
    }
    ~StartupLock()
    {
        if (m_fd < 0)
            return;
        ::unlink(m_path.constData());
        ::close(m_fd);
    }
    StartupLock(const StartupLock &) = delete;
    StartupLock &operator=(const StartupLock &) = delete;

private:
    QByteArray m_path;
    int m_fd = -1;
};

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

SingleInstance::~SingleInstance()
{
    while (!m_connections.isEmpty())
        hangUp(m_connections.first().fd);
    if (m_serverFd < 0)
        return;
    delete m_serverNotifier;
    ::close(m_serverFd);
    ::unlink(QFile::encodeName(m_name).constData());
}

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
    // A lock left by a killed copy holds nothing: the system let go of it when the copy ended.
    const StartupLock lock(m_name + QStringLiteral(".lock"), 10000);
    if (askRunningCopy(request) == Asked::Copy)
        return Claim::HandedOver;
    return serve() ? Claim::First : Claim::Unguarded;
}

SingleInstance::Asked SingleInstance::askRunningCopy(const char *request)
{
    const QDeadlineTimer deadline(kAnswerMs);
    sockaddr_un address;
    if (!toAddress(m_name, &address))
        return Asked::Nobody;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return Asked::Nobody;
    const auto hangUp = qScopeGuard([fd] { ::close(fd); });
    int connected = ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
    if (connected != 0 && (errno == EAGAIN || errno == EINPROGRESS) && waitFor(fd, POLLOUT, deadline)) {
        int error = 0;
        socklen_t size = sizeof error;
        connected = ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0 ? 0 : -1;
    }
    if (connected != 0)
        return Asked::Nobody; // nobody there, or a socket left by a copy that is gone
    // Only the folder's own user can have put a socket there; should another user's listener be
    // behind it all the same, it is no copy of this panel, and is replaced.
    if (!peerIsThisUser(fd))
        return Asked::Stranger;
    writeAll(fd, QByteArray(request) + '\n', deadline);
    // A copy that accepted the connection is running, whether or not it answers in time; what it
    // says is read up to one short line within the same deadline, however it trickles in.
    QByteArray said;
    while (said.size() < kMaxAnswer && !said.contains('\n')) {
        char buf[kMaxAnswer];
        const ssize_t n = ::read(fd, buf, size_t(kMaxAnswer - said.size()));
        if (n > 0)
            said.append(buf, qsizetype(n));
        else if (n < 0 && errno == EINTR)
            continue;
        else if (n < 0 && errno == EAGAIN && waitFor(fd, POLLIN, deadline))
            continue;
        else
            break; // closed, failed or out of time
    }
    const qsizetype end = said.indexOf('\n');
    m_answer = end < 0 ? QString() : QString::fromLatin1(said.left(end)).trimmed();
    return Asked::Copy;
}

bool SingleInstance::serve()
{
    const auto failed = [this](int err) {
        m_problem = tr("A second copy of the panel on these settings would not be noticed: %1 could not be "
                       "served (%2).")
                        .arg(QDir::toNativeSeparators(m_name), reason(err));
        return false;
    };
    sockaddr_un address;
    if (!toAddress(m_name, &address))
        return failed(ENAMETOOLONG);
    // The socket is bound in a folder of its own beside its place, given to the user alone, and
    // then moved to its name; that replaces a socket left by a copy that died without closing it.
    QByteArray made = QFile::encodeName(QFileInfo(m_name).absolutePath() + QStringLiteral("/.socket-XXXXXX"));
    if (!::mkdtemp(made.data()))
        return failed(errno);
    const QByteArray folder = made;
    made += "/s";
    sockaddr_un madeAddress;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int err = fd < 0 ? errno : 0;
    if (!err && !toAddress(QFile::decodeName(made), &madeAddress))
        err = ENAMETOOLONG;
    if (!err
        && (::bind(fd, reinterpret_cast<const sockaddr *>(&madeAddress), sizeof madeAddress) != 0
            || ::chmod(made.constData(), S_IRWXU) != 0 || ::listen(fd, 50) != 0
            || ::rename(made.constData(), QFile::encodeName(m_name).constData()) != 0))
        err = errno;
    ::unlink(made.constData());
    ::rmdir(folder.constData());
    if (err) {
        if (fd >= 0)
            ::close(fd);
        return failed(err);
    }
    m_serverFd = fd;
    m_serverNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_serverNotifier, &QSocketNotifier::activated, this, &SingleInstance::onConnection);
    return true;
}

void SingleInstance::onConnection()
{
    while (true) {
        const int fd = ::accept4(m_serverFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0)
            return;
        if (!peerIsThisUser(fd)) {
            ::close(fd);
            continue;
        }
        if (m_connections.size() >= kMaxConnections)
            hangUp(m_connections.first().fd);
        Connection c;
        c.fd = fd;
        c.notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        c.idle = new QTimer(this);
        c.idle->setSingleShot(true);
        connect(c.notifier, &QSocketNotifier::activated, this, [this, fd] { onRequest(fd); });
        connect(c.idle, &QTimer::timeout, this, [this, fd] { hangUp(fd); });
        c.idle->start(m_idleMs);
        m_connections.append(c);
    }
}

// Answers the line of a connection (a request to come forward, or the question what runs), then
// hangs up; a connection that says something else, or too much without a line end, is hung up on.
void SingleInstance::onRequest(int fd)
{
    const auto held = [this, fd] {
        return std::find_if(
            m_connections.begin(), m_connections.end(), [fd](const Connection &c) { return c.fd == fd; });
    };
    auto c = held();
    if (c == m_connections.end())
        return;
    char buf[kMaxAnswer + 1];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n > 0)
        c->said.append(buf, qsizetype(n));
    const QByteArray said = c->said;
    const qsizetype end = said.indexOf('\n');
    if (n > 0 && end < 0 && said.size() <= kMaxAnswer)
        return;
    const QByteArray line = end < 0 ? QByteArray() : said.left(end).trimmed();
    const bool ask = line == kAsk;
    if (line == kRequest || ask) {
        c->idle->stop(); // answered, however long bringing the window forward takes
        const char *answer = m_headless  ? kHeadless
            : ask                        ? kWindow
            : m_activate && m_activate() ? kShown
                                         : kNotShown;
        writeAll(fd, QByteArray(answer) + '\n', QDeadlineTimer(kAnswerMs));
    }
    hangUp(fd);
}

void SingleInstance::hangUp(int fd)
{
    const auto c = std::find_if(
        m_connections.begin(), m_connections.end(), [fd](const Connection &c) { return c.fd == fd; });
    if (c == m_connections.end())
        return;
    c->notifier->setEnabled(false);
    c->notifier->disconnect(this);
    c->notifier->deleteLater();
    c->idle->stop();
    c->idle->disconnect(this);
    c->idle->deleteLater();
    ::close(fd);
    m_connections.erase(c);
}
