#pragma once

#include "link/transmitter_link.h"

class QSerialPort;

// The serial line to the transmitter: QSerialPort at 9600 8N1, RTS and DTR asserted where the
// device supports them. Writes are queued without waiting; received bytes are delivered on the
// event loop as they come. A read or resource error (an unplugged adapter) closes the port at once.
class SerialLink : public TransmitterLink
{
    Q_OBJECT
public:
    explicit SerialLink(QObject *parent = nullptr);
    ~SerialLink() override;

    // Opens `device` as "COM `port`". Returns None on success. An open link stays on the device it
    // was opened on until it is closed: opening it again changes nothing.
    LinkFailure open(int port, const QString &device) override;
    void close() override;
    // Closes the port and starts over with a fresh port object, whatever state the old one's read
    // notification was left in.
    void renew();
    // Renews the port: an older serial library could stop delivering with the port still open.
    bool recoverFromSilence() override
    {
        renew();
        return true;
    }
    // The port object, for tests that need to stop its notifications.
    QSerialPort *port() const { return m_serial; }
    LinkState state() const override;

    // Queues `bytes` for sending, in order, without waiting. False (and failed() emitted) when the
    // link is not open or the port refused the bytes.
    bool write(const QByteArray &bytes) override;

    // Any entry that is not a network address is a device path (lastErrorText() names the device
    // and, for permission, the group that owns it and the command that fixes it).
    bool carries(const QString &where) const override;

private:
    void makePort();

    QSerialPort *m_serial = nullptr;
};

// Why the user may not open `device`, for the operator: the group that owns it, and the command
// that makes the user a member (or, when the membership is newer than the session, to log in again).
QString permissionAdviceText(const QString &device);
