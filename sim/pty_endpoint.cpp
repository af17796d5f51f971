#include "sim/pty_endpoint.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {

int baudOf(speed_t s)
{
    switch (s) {
    case B0:
        return 0;
    case B300:
        return 300;
    case B1200:
        return 1200;
    case B2400:
        return 2400;
    case B4800:
        return 4800;
    case B9600:
        return 9600;
    case B19200:
        return 19200;
    case B38400:
        return 38400;
    case B57600:
        return 57600;
    case B115200:
        return 115200;
    case B230400:
        return 230400;
    default:
        return -1;
    }
}

// Opens one pseudo-terminal pair, slave in raw mode; false on failure with errno set.
bool openPair(int &master, int &slave, QString &device)
{
    master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master < 0)
        return false;
    char name[128];
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
        const int saved = errno;
        ::close(master);
        errno = saved;
        return false;
    }
    slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (slave < 0) {
        const int saved = errno;
        ::close(master);
        errno = saved;
        return false;
    }
    // Raw, so nothing written to the master is echoed back before the panel configures the line.
    // The speed stays at the pseudo-terminal's default until the panel sets its own.
    termios t {};
    if (tcgetattr(slave, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
    }
    device = QString::fromLocal8Bit(name);
    return true;
}

} // namespace

QString LineSettings::text() const
{
    return QStringLiteral("%1 %2%3%4%5")
        .arg(baud)
        .arg(dataBits)
        .arg(QChar(parity))
        .arg(stopBits)
        .arg(hardwareFlow ? QStringLiteral(" rts/cts") : QString());
}

double monotonicMs()
{
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) * 1000.0 + double(ts.tv_nsec) / 1e6;
}

PtyEndpoint::PtyEndpoint(const QString &linkPath, QObject *parent)
    : QObject(parent)
    , m_link(linkPath)
{
}

PtyEndpoint::~PtyEndpoint()
{
    close();
}

bool PtyEndpoint::open(QString *error)
{
    close();
    int master = -1, slave = -1;
    QString device;
    if (!openPair(master, slave, device)) {
        if (error)
            *error = QStringLiteral("cannot open a pseudo-terminal: %1")
                         .arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    if (device == m_previousDevice) {
        // The kernel reused the number of the device just closed; take another, so a replugged line
        // is a different device behind the same link.
        int master2 = -1, slave2 = -1;
        QString device2;
        const bool ok = openPair(master2, slave2, device2);
        ::close(slave);
        ::close(master);
        if (!ok) {
            if (error)
                *error = QStringLiteral("cannot open a pseudo-terminal: %1")
                             .arg(QString::fromLocal8Bit(strerror(errno)));
            return false;
        }
        master = master2;
        slave = slave2;
        device = device2;
    }
    m_master = master;
    m_slave = slave;
    m_device = device;
    m_readNotifier = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &PtyEndpoint::readMaster);
    m_writeNotifier = new QSocketNotifier(m_master, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, [this] {
        flushQueue();
        if (m_master >= 0 && m_queue.isEmpty())
            emit drained();
    });
    if (!m_link.isEmpty() && !makeLink(error)) {
        close();
        return false;
    }
    return true;
}

void PtyEndpoint::close()
{
    if (m_master < 0)
        return;
    delete m_readNotifier;
    m_readNotifier = nullptr;
    delete m_writeNotifier;
    m_writeNotifier = nullptr;
    m_queue.clear();
    ::close(m_slave);
    ::close(m_master);
    m_slave = m_master = -1;
    if (!m_link.isEmpty() && QFileInfo(m_link).symLinkTarget() == m_device)
        QFile::remove(m_link);
    m_previousDevice = m_device;
    m_device.clear();
}

bool PtyEndpoint::makeLink(QString *error)
{
    auto fail = [&](const QString &why) {
        if (error)
            *error = QStringLiteral("cannot link %1 to %2: %3").arg(m_link, m_device, why);
        return false;
    };
    // Only a name the simulator may own is replaced: nothing there yet, or a link to a
    // pseudo-terminal (its own from before, or one a killed simulator left). A file, a folder or a
    // device node, reached by a typing mistake or as root, is never replaced.
    const QByteArray link = QFile::encodeName(m_link);
    struct stat st;
    if (::lstat(link.constData(), &st) == 0) {
        char target[PATH_MAX];
        const ssize_t n = S_ISLNK(st.st_mode) ? ::readlink(link.constData(), target, sizeof target - 1) : -1;
        if (n < 0 || !QByteArray(target, int(n)).startsWith("/dev/pts/"))
            return fail(QStringLiteral("it exists and is not a link into /dev/pts"));
    } else if (errno != ENOENT) {
        return fail(QString::fromLocal8Bit(strerror(errno)));
    }

    // A new name first, then renamed over the old one: the link never points nowhere. The new name
    // is random and symlink() never replaces what is there, so nothing else is touched.
    const QByteArray device = QFile::encodeName(m_device);
    QByteArray temp;
    for (int attempt = 0;; ++attempt) {
        temp = link + ".new-" + QByteArray::number(QRandomGenerator::system()->generate64(), 36);
        if (::symlink(device.constData(), temp.constData()) == 0)
            break;
        if (errno != EEXIST || attempt == 100)
            return fail(QString::fromLocal8Bit(strerror(errno)));
    }
    if (::rename(temp.constData(), link.constData()) != 0) {
        const int saved = errno;
        ::unlink(temp.constData());
        return fail(QString::fromLocal8Bit(strerror(saved)));
    }
    return true;
}

void PtyEndpoint::readMaster()
{
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n > 0) {
            emit received(QByteArray(buf, int(n)), monotonicMs());
            if (m_master < 0)
                return; // a handler closed the line
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EIO && m_readNotifier) {
            // No slave descriptor open (should not happen while ours is held): look again later
            // instead of spinning on a descriptor that stays readable.
            m_readNotifier->setEnabled(false);
            QTimer::singleShot(100, this, [this] {
                if (m_readNotifier)
                    m_readNotifier->setEnabled(true);
            });
        }
        return;
    }
}

bool PtyEndpoint::write(const QByteArray &bytes)
{
    if (m_master < 0)
        return false;
    if (m_queue.size() + bytes.size() > kMaxQueued)
        return false;
    const bool waiting = !m_queue.isEmpty();
    m_queue += bytes;
    flushQueue();
    // Bytes were waiting, so someone may wait for drained(), and this write sent them all: the
    // write notifier that would have said so is off now. Said after the caller's turn instead.
    // (Without it, an answer to a request written while a flood waited ended the flood's rounds.)
    if (waiting && m_queue.isEmpty()) {
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (m_master >= 0 && m_queue.isEmpty())
                    emit drained();
            },
            Qt::QueuedConnection);
    }
    return true;
}

void PtyEndpoint::flushQueue()
{
    while (!m_queue.isEmpty()) {
        const ssize_t n = ::write(m_master, m_queue.constData(), size_t(m_queue.size()));
        if (n > 0) {
            m_queue.remove(0, int(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break; // EAGAIN: the panel's input is full; wait until the master is writable again
    }
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(!m_queue.isEmpty());
}

LineSettings PtyEndpoint::lineSettings() const
{
    LineSettings s;
    termios t {};
    if (m_slave < 0 || tcgetattr(m_slave, &t) != 0)
        return s;
    s.baud = baudOf(cfgetospeed(&t));
    switch (t.c_cflag & CSIZE) {
    case CS5:
        s.dataBits = 5;
        break;
    case CS6:
        s.dataBits = 6;
        break;
    case CS7:
        s.dataBits = 7;
        break;
    default:
        s.dataBits = 8;
        break;
    }
    s.parity = !(t.c_cflag & PARENB) ? 'N' : (t.c_cflag & PARODD) ? 'O' : 'E';
    s.stopBits = (t.c_cflag & CSTOPB) ? 2 : 1;
    s.hardwareFlow = (t.c_cflag & CRTSCTS) != 0;
    return s;
}

bool PtyEndpoint::clearStaleExclusive()
{
    if (m_slave < 0)
        return false;
    int exclusive = 0;
    if (ioctl(m_slave, TIOCGEXCL, &exclusive) != 0 || !exclusive)
        return false;
    if (othersHoldSlave())
        return false;
    return ioctl(m_slave, TIOCNXCL) == 0;
}

bool PtyEndpoint::othersHoldSlave() const
{
    const QByteArray device = QFile::encodeName(m_device);
    const pid_t self = getpid();
    DIR *proc = opendir("/proc");
    if (!proc)
        return true; // cannot tell: leave the flag alone
    bool found = false;
    while (!found) {
        const dirent *e = readdir(proc);
        if (!e)
            break;
        char *end = nullptr;
        const long pid = strtol(e->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == self)
            continue;
        const QByteArray fdDir = QByteArray("/proc/") + e->d_name + "/fd";
        DIR *fds = opendir(fdDir.constData());
        if (!fds)
            continue;
        while (const dirent *f = readdir(fds)) {
            if (f->d_name[0] == '.')
                continue;
            char target[256];
            const QByteArray path = fdDir + '/' + f->d_name;
            const ssize_t n = readlink(path.constData(), target, sizeof target - 1);
            if (n > 0 && QByteArray(target, int(n)) == device) {
                found = true;
                break;
            }
        }
        closedir(fds);
    }
    closedir(proc);
    return found;
}

} // namespace sim
