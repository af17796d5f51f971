#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QSerialPort;

// Why the link could not be used. Missing is the one case told apart for the operator: the
// selected port does not exist (the old serial layer's code 8002).
enum class LinkFailure { None, Missing, Permission, Busy, Lost, WriteFailed, NotOpen, Other };

// The serial line to the transmitter: QSerialPort at 9600 8N1, RTS and DTR asserted where the
// device supports them. Writes are queued without waiting; received bytes are delivered on the
// event loop as they come. A read or resource error (an unplugged adapter) closes the port at once.
class SerialLink : public QObject
{
    Q_OBJECT
public:
    explicit SerialLink(QObject *parent = nullptr);
    ~SerialLink() override;

    // The port number of the last open, for the operator's texts.
    int portNumber() const { return m_port; }
    // The device the link is open on (empty while closed).
    QString openDevicePath() const { return m_openPath; }

    // Opens `device` as "COM `port`". Returns None on success. An open link stays on the device it
    // was opened on until it is closed: opening it again changes nothing.
    LinkFailure open(int port, const QString &device);
    void close();
    // Closes the port and starts over with a fresh port object, whatever state the old one's read
    // notification was left in.
    void renew();
    // The port object, for tests that need to stop its notifications.
    QSerialPort *port() const { return m_serial; }
    bool isOpen() const;

    // Queues `bytes` for sending, in order, without waiting. False (and failed() emitted) when the
    // link is not open or the port refused the bytes.
    bool write(const QByteArray &bytes);

    // A text for the operator about the last failure, naming the device (and, for permission, the
    // group that owns it and the command that fixes it).
    QString lastErrorText() const { return m_lastError; }
    LinkFailure lastFailure() const { return m_lastFailure; }

signals:
    void received(const QByteArray &bytes);
    // Bytes write() has handed to the device, as each call returned them; for a log of the wire.
    void written(const QByteArray &bytes);
    // A failure after open (lost adapter, write error): the port is already closed when it is Lost.
    void failed(LinkFailure kind, const QString &text);
    void openChanged(bool open);

private:
    void makePort();
    LinkFailure fail(LinkFailure kind, const QString &text);
    void report(LinkFailure kind, const QString &text); // fail() and emit failed()

    QSerialPort *m_serial = nullptr;
    int m_port = 1;
    QString m_openPath;
    QString m_lastError;
    LinkFailure m_lastFailure = LinkFailure::None;
};

// Why the user may not open `device`, for the operator: the group that owns it, and the command
// that makes the user a member (or, when the membership is newer than the session, to log in again).
QString permissionAdviceText(const QString &device);
