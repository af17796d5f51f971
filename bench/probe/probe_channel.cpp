#include "bench/probe/probe_channel.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

qint64 monotonicNs()
{
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

ProbeChannel::ProbeChannel(QObject *parent)
    : QObject(parent)
{
}

ProbeChannel::~ProbeChannel()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool ProbeChannel::connectTo(const QByteArray &socketPath)
{
    sockaddr_un addr {};
    if (socketPath.size() >= qsizetype(sizeof addr.sun_path))
        return false;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, socketPath.constData(), size_t(socketPath.size()));
    m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        return false;
    if (::connect(m_fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(m_fd);
        m_fd = -1;
        return false;
    }
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &ProbeChannel::readAvailable);
    return true;
}

void ProbeChannel::send(const QByteArray &line)
{
    if (m_fd < 0)
        return;
    const QByteArray bytes = line + '\n';
    qsizetype at = 0;
    while (at < bytes.size()) {
        const ssize_t n = ::send(m_fd, bytes.constData() + at, size_t(bytes.size() - at), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // the tool is gone: nothing to report to
        at += n;
    }
}

void ProbeChannel::readAvailable()
{
    char buf[4096];
    const ssize_t n = ::read(m_fd, buf, sizeof buf);
    if (n <= 0) {
        m_notifier->setEnabled(false);
        return;
    }
    m_pending.append(buf, qsizetype(n));
    qsizetype nl;
    while ((nl = m_pending.indexOf('\n')) >= 0) {
        const QByteArray line = m_pending.left(nl);
        m_pending.remove(0, nl + 1);
        emit command(line);
    }
}
