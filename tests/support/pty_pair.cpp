#include "support/pty_pair.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QTest>

#include <cerrno>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

PtyPair::PtyPair(const QString &linkPath)
    : m_linkPath(linkPath)
{
    openPair();
}

PtyPair::~PtyPair()
{
    unplug();
    if (!m_linkPath.isEmpty())
        QFile::remove(m_linkPath);
}

bool PtyPair::openPair()
{
    char name[256] = {};
    if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) {
        m_master = m_slave = -1;
        return false;
    }
    m_slavePath = QString::fromLocal8Bit(name);
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    // Raw from the start: no echo or line editing before the panel configures the line itself.
    struct termios raw {
    };
    if (::tcgetattr(m_slave, &raw) == 0) {
        ::cfmakeraw(&raw);
        ::tcsetattr(m_slave, TCSANOW, &raw);
    }
    if (!m_linkPath.isEmpty()) {
        QFile::remove(m_linkPath);
        if (!QFile::link(m_slavePath, m_linkPath))
            return false;
    }
    return true;
}

void PtyPair::drain()
{
    if (m_master < 0)
        return;
    char buf[512];
    for (;;) {
        const ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n > 0) {
            m_written.append(buf, int(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return;
    }
}

QByteArray PtyPair::takeWritten()
{
    drain();
    QByteArray bytes;
    bytes.swap(m_written);
    return bytes;
}

QByteArray PtyPair::waitForWritten(int count, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    drain();
    while (m_written.size() < count && !deadline.hasExpired()) {
        QTest::qWait(5);
        drain();
    }
    return takeWritten();
}

bool PtyPair::write(const QByteArray &bytes)
{
    if (m_master < 0)
        return false;
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

void PtyPair::unplug()
{
    if (m_master < 0)
        return;
    if (!m_linkPath.isEmpty())
        QFile::remove(m_linkPath);
    drain();
    ::close(m_master);
    ::close(m_slave);
    m_master = m_slave = -1;
}

bool PtyPair::replug()
{
    unplug();
    m_written.clear();
    return openPair();
}
