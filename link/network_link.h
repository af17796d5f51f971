#pragma once

#include "link/port_entry.h"
#include "link/transmitter_link.h"

#include <QDeadlineTimer>
#include <QStringList>
#include <QTimer>
#include <memory>

class QTcpSocket;
class TransportCodec;

// The serial line of a transmitter behind a device server on the network (tcp://HOST:PORT, or
// rfc2217://HOST:PORT through the Telnet codec, which asks the server for the line settings). It
// connects in the background, with a deadline, so that a slow name never holds up the window; the
// socket sends each write at once (TCP_NODELAY), so that a pause between two writes is a pause at
// the far end too, and finds a peer that went silent through keepalive and TCP_USER_TIMEOUT. A
// server that cannot be reached, or turns the connection away, is tried again after 1 s, then
// after twice as long each time, up to 30 s; a lost connection is tried again after 1 s.
//
// What a server says within the first moments of a connection, before the line has been used, is
// its own message (ser2net's "Port already in use" and "Device open failure" are sent at once and
// followed by a close), never the transmitter's: the transmitter speaks only when asked. It is
// told in the failure's text when the server closes, and dropped when it does not. A line setting
// the server refuses is told as failed(SettingRejected, ...) and the link stays open.
class NetworkLink : public TransmitterLink
{
    Q_OBJECT
public:
    static constexpr int kConnectDeadlineMs = 10000;
    // How long a fresh connection is watched for the server's message and close before it counts
    // as open.
    static constexpr int kSettleMs = 300;
    static constexpr int kFirstRetryMs = 1000;
    static constexpr int kLastRetryMs = 30000;
    // Unacknowledged data older than this, or keepalive probes unanswered for about as long, end
    // the connection.
    static constexpr int kUserTimeoutMs = 7000;
    static constexpr int kServerTextLimit = 512;

    explicit NetworkLink(QObject *parent = nullptr);
    ~NetworkLink() override;

    LinkFailure open(int port, const QString &where) override;
    void close() override;
    // A socket does not stop delivering as a serial layer may: requests unanswered on an open
    // connection mean the server or the line behind it is gone (a server that was stopped, a device
    // server that lost power with its TCP state in a router). The link is closed and said lost.
    bool recoverFromSilence() override;
    LinkState state() const override { return m_state; }
    bool write(const QByteArray &bytes) override;
    bool carries(const QString &where) const override { return port_entry::looksNetwork(where); }

    // The delay before the next attempt after a failure, 0 when none is held back.
    int retryDelayMs() const { return m_retryMs; }
    // The socket of the connection in hand (null while closed), for tests.
    QTcpSocket *socket() const { return m_socket; }

private:
    void onConnected();
    void onSettled();
    void onReadyRead();
    void onClosedByPeer();
    void onSocketError();
    void dropSocket();
    void holdBack(int firstMs);
    void cannotReach(LinkFailure kind, const QString &text);
    void tellNotice(const QString &text);

    QTcpSocket *m_socket = nullptr;
    std::unique_ptr<TransportCodec> m_codec;
    LinkState m_state = LinkState::Closed;
    PortEntry m_entry;
    QString m_where; // the entry the link was last opened with, as the port map has it
    QString m_shown; // and as it is shown
    QTimer m_deadline;
    QTimer m_settle;
    QByteArray m_serverText; // what the server said before the connection counted as open
    QStringList m_notices; // what the server refused before the connection counted as open
    bool m_connected = false; // the TCP connection is up (settling or open)
    int m_retryMs = 0;
    QDeadlineTimer m_retryAt;
};
