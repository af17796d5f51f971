#include "link/serial_link.h"

#include "link/port_entry.h"

#include <QFileInfo>
#include <QSerialPort>

#ifdef Q_OS_UNIX
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#endif

namespace {

QString lostText(const QString &path)
{
    return QStringLiteral("The connection on %1 was lost: the adapter was unplugged or the device went "
                          "away. It is opened again once it is back.")
        .arg(path);
}

QString missingText(int port, const QString &path)
{
    if (path.isEmpty())
        return QStringLiteral("COM %1 is not mapped to any device").arg(port);
    return QStringLiteral("The device %1 of COM %2 does not exist").arg(path).arg(port);
}

#ifdef Q_OS_UNIX
bool inOwnGroups(gid_t gid)
{
    if (getegid() == gid)
        return true;
    const int count = getgroups(0, nullptr);
    if (count <= 0)
        return false;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    const int got = getgroups(count, groups.data());
    for (int i = 0; i < got; ++i) {
        if (groups[size_t(i)] == gid)
            return true;
    }
    return false;
}

// Whether the group database makes the user a member of `group`: a member that the running session
// does not know of yet was added after logging in.
bool listedAsMember(const struct group &group)
{
    const struct passwd *user = getpwuid(getuid());
    if (!user)
        return false;
    if (user->pw_gid == group.gr_gid)
        return true;
    for (char **member = group.gr_mem; member && *member; ++member) {
        if (qstrcmp(*member, user->pw_name) == 0)
            return true;
    }
    return false;
}
#endif

// The identity of the node behind `path` (a symlink is followed), empty when there is none. An
// adapter that is unplugged and plugged in again comes back as a new node (a new inode, even where
// it gets the same name and numbers), so a link open on the old one can tell.
QString deviceIdentity(const QString &path)
{
#ifdef Q_OS_UNIX
    struct stat info {
    };
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return {};
    return QStringLiteral("%1:%2:%3")
        .arg(qulonglong(info.st_dev))
        .arg(qulonglong(info.st_ino))
        .arg(qulonglong(info.st_rdev));
#else
    return QFileInfo::exists(path) ? path : QString();
#endif
}

const char *const kOpenedIdentity = "openedIdentity";

} // namespace

QString permissionAdviceText(const QString &device)
{
    const QString head = QStringLiteral("No permission to open %1").arg(device);
#ifdef Q_OS_UNIX
    struct stat info {
    };
    if (::stat(QFile::encodeName(device).constData(), &info) != 0)
        return head + QLatin1Char('.');
    const struct group *owner = getgrgid(info.st_gid);
    const QString group = owner ? QString::fromLocal8Bit(owner->gr_name) : QString::number(info.st_gid);
    if (inOwnGroups(info.st_gid)) {
        return head
            + QStringLiteral(": it belongs to group %1, which you are in, but its permissions do not let the "
                             "group read and write it.")
                  .arg(group);
    }
    if (owner && listedAsMember(*owner)) {
        return head
            + QStringLiteral(": it belongs to group %1. You have been added to %1, but this session started "
                             "before that: log out and log in again.")
                  .arg(group);
    }
    return head
        + QStringLiteral(": it belongs to group %1, and you are not in it. Run `sudo usermod -aG %1 $USER`, "
                         "then log out and log in again.")
              .arg(group);
#else
    return head + QLatin1Char('.');
#endif
}

SerialLink::SerialLink(QObject *parent)
    : TransmitterLink(parent)
{
    makePort();
}

void SerialLink::makePort()
{
    m_serial = new QSerialPort(this);
    connect(m_serial, &QSerialPort::readyRead, this, [this] {
        const QByteArray bytes = m_serial->readAll();
        if (!bytes.isEmpty())
            emit received(bytes);
    });
    connect(m_serial, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError error) {
        if (!m_serial->isOpen())
            return; // open() reports its own failures
        if (error == QSerialPort::ReadError || error == QSerialPort::ResourceError) {
            // Close before anything else: after an unplug the port would otherwise report the same
            // read error again at every turn of the event loop, at full CPU.
            const QString path = m_openPath;
            close();
            report(LinkFailure::Lost, lostText(path));
        } else if (error == QSerialPort::WriteError) {
            const QString path = m_openPath;
            close();
            report(LinkFailure::WriteFailed, QStringLiteral("Writing to %1 failed").arg(path));
        }
    });
}

void SerialLink::renew()
{
    close();
    QSerialPort *old = m_serial;
    old->disconnect(this);
    makePort();
    old->deleteLater();
}

SerialLink::~SerialLink()
{
    // The port goes with the link, without a last openChanged to a half-destroyed owner.
    QSignalBlocker quiet(this);
    close();
}

LinkFailure SerialLink::open(int port, const QString &device)
{
    if (isOpen())
        return LinkFailure::None;

    m_port = port;
    const QString path = device;
    if (port_entry::looksNetwork(path))
        return fail(LinkFailure::Missing,
            QStringLiteral("COM %1 stands for %2, which is not a device").arg(port).arg(port_entry::shown(path)));
    if (path.isEmpty() || !QFileInfo::exists(path))
        return fail(LinkFailure::Missing, missingText(m_port, path));
#ifdef Q_OS_UNIX
    // Only a character device is a serial port; anything else (a file, a folder, a pipe that would
    // block the open) is refused before the serial library touches it.
    struct stat node {
    };
    if (::stat(QFile::encodeName(path).constData(), &node) == 0 && !S_ISCHR(node.st_mode))
        return fail(LinkFailure::Other,
            QStringLiteral("%1 (COM %2) is not a serial device").arg(path).arg(port));
#endif

    m_serial->setPortName(path);
    m_serial->setBaudRate(QSerialPort::Baud9600);
    m_serial->setDataBits(QSerialPort::Data8);
    m_serial->setParity(QSerialPort::NoParity);
    m_serial->setStopBits(QSerialPort::OneStop);
    m_serial->setFlowControl(QSerialPort::NoFlowControl);

    if (!m_serial->open(QIODevice::ReadWrite)) {
        const QSerialPort::SerialPortError error = m_serial->error();
        const QString why = m_serial->errorString();
        m_serial->clearError();
        switch (error) {
        case QSerialPort::DeviceNotFoundError:
            return fail(LinkFailure::Missing, missingText(m_port, path));
        case QSerialPort::PermissionError: {
            // The port layer says "permission" both for a refused device and for one another program
            // holds (its lock file or exclusive mode). A device we may read and write is a held one.
            const bool locked = why.contains(QLatin1String("locking"), Qt::CaseInsensitive);
            const QByteArray native = QFile::encodeName(path);
            if (locked || ::access(native.constData(), R_OK | W_OK) == 0)
                return fail(LinkFailure::Busy,
                    QStringLiteral("%1 (COM %2) is in use by another program").arg(path).arg(m_port));
            return fail(LinkFailure::Permission, permissionAdviceText(path));
        }
        default:
            return fail(LinkFailure::Other,
                QStringLiteral("%1 (COM %2) could not be opened: %3").arg(path).arg(m_port).arg(why));
        }
    }

    // Pseudo-terminals and some adapters refuse the modem lines; the link works without them.
    m_serial->setRequestToSend(true);
    m_serial->setDataTerminalReady(true);
    m_serial->clearError();

    m_openPath = path;
    m_serial->setProperty(kOpenedIdentity, deviceIdentity(path));
    clearFailure();
    emit openChanged(true);
    return LinkFailure::None;
}

void SerialLink::close()
{
    if (!m_serial->isOpen())
        return;
    m_serial->close();
    m_serial->clearError();
    m_openPath.clear();
    emit openChanged(false);
}

LinkState SerialLink::state() const
{
    return m_serial->isOpen() ? LinkState::Open : LinkState::Closed;
}

bool SerialLink::carries(const QString &where) const
{
    return !port_entry::looksNetwork(where);
}

bool SerialLink::write(const QByteArray &bytes)
{
    if (!isOpen()) {
        report(LinkFailure::NotOpen, QStringLiteral("COM %1 is not open: nothing was sent").arg(m_port));
        return false;
    }
    const QString path = m_openPath;
    // Not every port layer reports an unplugged adapter as a read error (some read nothing,
    // silently): a device that has gone from its name, or been replaced there, is lost all the same.
    if (deviceIdentity(path) != m_serial->property(kOpenedIdentity).toString()) {
        close();
        report(LinkFailure::Lost, lostText(path));
        return false;
    }
    const qint64 queued = m_serial->write(bytes);
    if (queued != bytes.size()) {
        report(LinkFailure::WriteFailed, QStringLiteral("Writing to %1 failed").arg(path));
        return false;
    }
    // Hand the bytes to the device now, without waiting for them to leave, so that each call is one
    // write of its own and nothing lingers in our buffer while the caller goes on.
    m_serial->flush();
    if (!isOpen())
        return false; // a write error found by the flush has closed the link and said so
    emit written(bytes);
    return true;
}
