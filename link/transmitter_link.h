#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

// Why the link could not be used. Missing is the one case told apart for the operator: the
// selected port does not exist (the old serial layer's code 8002). Unreachable is a network link's
// server that cannot be reached (told like a busy port, and tried again). Connecting is no failure:
// a link that opens in the background (a network one) has started, and says openChanged(true) once
// it is up or failed() when it cannot be. SettingRejected is no failure of the link either: a device
// server did not set the line as asked (RFC 2217), which the operator is told while the link stays open.
enum class LinkFailure {
    None,
    Missing,
    Permission,
    Busy,
    Lost,
    WriteFailed,
    NotOpen,
    Other,
    Unreachable,
    Connecting,
    SettingRejected
};

// Where a link is in its life. Opening is the time a network link spends connecting.
enum class LinkState { Closed, Opening, Open };

// The line to the transmitter, whatever carries it: a local serial port or a device server on the
// network. The runner writes to it, the port check opens it, the session feeds what it receives to
// the status monitor. Writes are queued without waiting; received bytes come on the event loop.
class TransmitterLink : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    ~TransmitterLink() override;

    // Opens the line of "COM `port`", `where` being its port map entry (a device path or an
    // address). Returns None once open, Connecting when the open goes on in the background, or the
    // failure (lastErrorText() says it for the operator). Opening an open link changes nothing.
    virtual LinkFailure open(int port, const QString &where) = 0;
    virtual void close() = 0;
    // Requests have gone unanswered for a while although the link looks open. True when the link
    // has been opened afresh for the session to try again (a serial layer may have stopped
    // delivering); false when the link has found the line dead instead, closed it and said so.
    virtual bool recoverFromSilence() = 0;
    virtual LinkState state() const = 0;
    bool isOpen() const { return state() == LinkState::Open; }

    // Queues `bytes` for sending, in order, without waiting, as one write of its own. False (and
    // failed() emitted) when the link is not open or the bytes were refused.
    virtual bool write(const QByteArray &bytes) = 0;

    // Whether this kind of link carries the port map entry `where`.
    virtual bool carries(const QString &where) const = 0;

    // The port number of the last open, for the operator's texts.
    int portNumber() const { return m_port; }
    // The device or address the link is open on, as the operator is shown it (empty while closed).
    QString openDevicePath() const { return m_openPath; }

    // A text for the operator about the last failure, naming the device or the host.
    QString lastErrorText() const { return m_lastError; }
    LinkFailure lastFailure() const { return m_lastFailure; }

signals:
    void received(const QByteArray &bytes);
    // Bytes write() has handed on, as each call passed them; for a log of the wire.
    void written(const QByteArray &bytes);
    // A failure after open (lost line, write error): the link is already closed when it is Lost.
    void failed(LinkFailure kind, const QString &text);
    void openChanged(bool open);

protected:
    LinkFailure fail(LinkFailure kind, const QString &text);
    void report(LinkFailure kind, const QString &text); // fail() and emit failed()
    void clearFailure();

    int m_port = 1;
    QString m_openPath;

private:
    QString m_lastError;
    LinkFailure m_lastFailure = LinkFailure::None;
};
