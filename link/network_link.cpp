#include "link/network_link.h"

#include "link/transport_codec.h"

#include <QTcpSocket>

#ifdef Q_OS_LINUX
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace {

QString lostText(const QString &address)
{
    return QStringLiteral("The connection on %1 was lost: the server closed it or the network went "
                          "away. It is opened again once it is back.")
        .arg(address);
}

QString silentText(const QString &address)
{
    return QStringLiteral("The connection on %1 was lost: the server has stopped answering. It is "
                          "opened again once it is back.")
        .arg(address);
}

// The server's words as one line of text: printable ASCII kept, line breaks and the rest made spaces.
QString serverWords(const QByteArray &bytes)
{
    QString text;
    for (const char c : bytes)
        text += (c >= 0x20 && c < 0x7f) ? QChar::fromLatin1(c) : QChar(u' ');
    return text.simplified();
}

// Keepalive after 2 s of quiet, a probe a second, three unanswered probes, and no data left
// unacknowledged for longer than `userTimeoutMs`: a peer gone silent is found in seconds, not in
// the kernel's fifteen minutes.
void tuneSocket(QTcpSocket &socket, int userTimeoutMs)
{
    socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket.setSocketOption(QAbstractSocket::KeepAliveOption, 1);
#ifdef Q_OS_LINUX
    const int fd = int(socket.socketDescriptor());
    if (fd < 0)
        return;
    const int idle = 2;
    const int interval = 1;
    const int count = 3;
    const unsigned int timeout = unsigned(userTimeoutMs);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &timeout, sizeof timeout);
#else
    Q_UNUSED(userTimeoutMs);
#endif
}

} // namespace

NetworkLink::NetworkLink(QObject *parent)
    : TransmitterLink(parent)
{
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, [this] {
        cannotReach(LinkFailure::Unreachable,
            QStringLiteral("%1 (COM %2) cannot be reached: no connection within %3 s")
                .arg(m_shown)
                .arg(m_port)
                .arg(kConnectDeadlineMs / 1000));
    });
    m_settle.setSingleShot(true);
    connect(&m_settle, &QTimer::timeout, this, &NetworkLink::onSettled);
}

NetworkLink::~NetworkLink()
{
    QSignalBlocker quiet(this);
    close();
}

LinkFailure NetworkLink::open(int port, const QString &where)
{
    if (m_state == LinkState::Open)
        return LinkFailure::None;
    if (m_state == LinkState::Opening)
        return LinkFailure::Connecting;

    m_port = port;
    if (where != m_where) {
        m_retryMs = 0; // another server: no reason to wait for it
        m_where = where;
    }
    m_shown = port_entry::shown(where);
    const std::optional<PortEntry> entry = port_entry::parse(where);
    if (!entry || !entry->isNetwork())
        return fail(LinkFailure::Missing,
            QStringLiteral("COM %1 stands for %2, which is not an address of a device server")
                .arg(port)
                .arg(m_shown));
    m_entry = *entry;
    if (m_entry.tls)
        return fail(LinkFailure::Other,
            QStringLiteral("%1 (COM %2) cannot be opened: links inside TLS are not available in this build")
                .arg(m_shown)
                .arg(port));
    m_codec = transport_codec::make(m_entry.kind);
    if (!m_codec)
        return fail(LinkFailure::Other,
            QStringLiteral("%1 (COM %2) cannot be opened: this build cannot carry its kind of link")
                .arg(m_shown)
                .arg(port));
    if (m_retryMs > 0 && !m_retryAt.hasExpired())
        return lastFailure(); // held back: the last failure's text stands until the next attempt

    m_socket = new QTcpSocket(this);
    connect(m_socket, &QTcpSocket::connected, this, &NetworkLink::onConnected);
    connect(m_socket, &QTcpSocket::readyRead, this, &NetworkLink::onReadyRead);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &NetworkLink::onSocketError);
    connect(m_socket, &QTcpSocket::disconnected, this, &NetworkLink::onClosedByPeer);
    m_serverText.clear();
    m_notices.clear();
    m_connected = false;
    m_state = LinkState::Opening;
    m_deadline.start(kConnectDeadlineMs);
    // Asynchronous, the name's lookup included: the answer comes as connected() or an error.
    m_socket->connectToHost(m_entry.host, m_entry.port);
    return fail(LinkFailure::Connecting, QStringLiteral("Connecting to %1 (COM %2)").arg(m_shown).arg(port));
}

void NetworkLink::dropSocket()
{
    m_deadline.stop();
    m_settle.stop();
    m_connected = false;
    if (m_socket) {
        QTcpSocket *socket = m_socket;
        m_socket = nullptr;
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
}

void NetworkLink::close()
{
    const bool wasOpen = m_state == LinkState::Open;
    dropSocket();
    m_state = LinkState::Closed;
    m_retryMs = 0; // let go of on purpose: the next open tries at once
    if (wasOpen) {
        m_openPath.clear();
        emit openChanged(false);
    }
}

void NetworkLink::holdBack(int firstMs)
{
    m_retryMs = m_retryMs == 0 ? firstMs : qMin(m_retryMs * 2, kLastRetryMs);
    m_retryAt.setRemainingTime(m_retryMs);
}

// The link was never open: told like a busy port, and held back before the next attempt.
void NetworkLink::cannotReach(LinkFailure kind, const QString &text)
{
    dropSocket();
    m_state = LinkState::Closed;
    holdBack(kFirstRetryMs);
    report(kind, text);
}

void NetworkLink::onConnected()
{
    m_deadline.stop();
    m_connected = true;
    tuneSocket(*m_socket, kUserTimeoutMs);
    const QByteArray greeting = m_codec->greeting();
    if (!greeting.isEmpty())
        m_socket->write(greeting);
    m_settle.start(kSettleMs);
}

void NetworkLink::onSettled()
{
    m_serverText.clear(); // a greeting the server gave and kept the connection: not the transmitter's
    m_state = LinkState::Open;
    m_retryMs = 0;
    m_openPath = m_shown;
    clearFailure();
    emit openChanged(true);
    // What the server refused while the connection settled, told once it is open, after it.
    const QStringList held = std::exchange(m_notices, {});
    for (const QString &text : held)
        tellNotice(text);
}

// The server refused something it was asked (a line setting, the Com Port Control option): told
// for the operator, naming the address; the link stays open, since the bytes still go through.
void NetworkLink::tellNotice(const QString &text)
{
    emit failed(
        LinkFailure::SettingRejected, QStringLiteral("%1 (COM %2): %3").arg(m_shown).arg(m_port).arg(text));
}

void NetworkLink::onReadyRead()
{
    if (!m_socket)
        return;
    QByteArray reply;
    const QByteArray data = m_codec->decode(m_socket->readAll(), reply);
    if (!reply.isEmpty())
        m_socket->write(reply);
    const QStringList notices = m_codec->takeNotices();
    if (m_state == LinkState::Opening)
        m_notices += notices;
    else
        for (const QString &text : notices)
            tellNotice(text);
    if (!m_socket)
        return; // a notice's receiver closed the link
    if (data.isEmpty())
        return;
    if (m_state == LinkState::Opening) {
        m_serverText += data.left(kServerTextLimit - m_serverText.size());
        return;
    }
    emit received(data);
}

void NetworkLink::onClosedByPeer()
{
    if (!m_socket)
        return;
    if (m_socket->bytesAvailable() > 0)
        onReadyRead();
    if (m_state == LinkState::Opening) {
        const QString said = serverWords(m_serverText);
        if (!said.isEmpty())
            cannotReach(LinkFailure::Busy,
                QStringLiteral("%1 (COM %2) turned the connection away: the server said \"%3\"")
                    .arg(m_shown)
                    .arg(m_port)
                    .arg(said));
        else
            cannotReach(LinkFailure::Unreachable,
                QStringLiteral("%1 (COM %2) cannot be reached: the server closed the connection at once")
                    .arg(m_shown)
                    .arg(m_port));
        return;
    }
    if (m_state != LinkState::Open)
        return;
    const QString address = m_shown;
    dropSocket();
    m_state = LinkState::Closed;
    m_openPath.clear();
    m_retryMs = 0;
    holdBack(kFirstRetryMs);
    emit openChanged(false);
    report(LinkFailure::Lost, lostText(address));
}

void NetworkLink::onSocketError()
{
    if (!m_socket)
        return;
    const QAbstractSocket::SocketError error = m_socket->error();
    if (m_connected || error == QAbstractSocket::RemoteHostClosedError) {
        // A connection that was up and ends (closed, reset, timed out): as a close by the peer.
        onClosedByPeer();
        return;
    }
    cannotReach(LinkFailure::Unreachable,
        QStringLiteral("%1 (COM %2) cannot be reached: %3")
            .arg(m_shown)
            .arg(m_port)
            .arg(m_socket->errorString()));
}

bool NetworkLink::recoverFromSilence()
{
    if (m_state != LinkState::Open)
        return false;
    const QString address = m_shown;
    dropSocket();
    m_state = LinkState::Closed;
    m_openPath.clear();
    m_retryMs = 0;
    holdBack(kFirstRetryMs);
    emit openChanged(false);
    report(LinkFailure::Lost, silentText(address));
    return false;
}

bool NetworkLink::write(const QByteArray &bytes)
{
    if (m_state != LinkState::Open) {
        report(LinkFailure::NotOpen, QStringLiteral("COM %1 is not open: nothing was sent").arg(m_port));
        return false;
    }
    const QByteArray out = m_codec->encode(bytes);
    if (m_socket->write(out) != out.size()) {
        const QString address = m_shown;
        report(LinkFailure::WriteFailed, QStringLiteral("Writing to %1 failed").arg(address));
        return false;
    }
    // Handed to the kernel now, as one send of its own: with TCP_NODELAY it leaves at once.
    m_socket->flush();
    if (m_state != LinkState::Open)
        return false; // the flush found the connection gone and said so
    emit written(bytes);
    return true;
}
