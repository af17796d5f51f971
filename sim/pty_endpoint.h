#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;

namespace sim {

// The line parameters the panel configured, as the slave side of the pseudo-terminal reports them.
// The pseudo-terminal driver forces 8 data bits and no parity whatever is asked for, so of these
// only the speed, the stop bits and the flow control tell what the panel really set.
struct LineSettings {
    int baud = 0;
    int dataBits = 0;
    char parity = 'N'; // 'N', 'E' or 'O'
    int stopBits = 1;
    bool hardwareFlow = false;

    bool isExpected() const { return baud == 9600 && dataBits == 8 && parity == 'N' && stopBits == 1; }
    QString text() const; // "9600 8N1"
    bool operator==(const LineSettings &o) const
    {
        return baud == o.baud && dataBits == o.dataBits && parity == o.parity && stopBits == o.stopBits
            && hardwareFlow == o.hardwareFlow;
    }
    bool operator!=(const LineSettings &o) const { return !(*this == o); }
};

// Monotonic time in milliseconds (CLOCK_MONOTONIC, the clock QElapsedTimer uses).
double monotonicMs();

// The simulator's end of the serial line: a pseudo-terminal whose slave device the panel opens. It
// keeps a slave descriptor of its own so the master never reads EIO while the panel has the device
// closed, and so the line parameters can be read at any time; it clears an exclusive-use flag left
// behind by a panel that died with the device open. Optionally a symbolic link names the device.
class PtyEndpoint : public QObject
{
    Q_OBJECT
public:
    explicit PtyEndpoint(const QString &linkPath = {}, QObject *parent = nullptr);
    ~PtyEndpoint() override;

    // Opens a new pseudo-terminal (never the device path of the previous one) and points the link
    // at it. False with `error` set when that fails, or when the link's path holds anything but a
    // link into /dev/pts (nothing else is ever replaced).
    bool open(QString *error);
    // Closes the pseudo-terminal entirely (the panel sees a hang-up) and removes the link.
    void close();
    bool isOpen() const { return m_master >= 0; }

    QString devicePath() const { return m_device; }
    QString linkPath() const { return m_link; }

    // Queues bytes for the panel. Bytes beyond kMaxQueued waiting bytes are dropped (false).
    bool write(const QByteArray &bytes);
    static constexpr int kMaxQueued = 65536;
    // Bytes waiting for the panel to read what the pseudo-terminal holds already.
    qsizetype queued() const { return m_queue.size(); }

    LineSettings lineSettings() const;

    // When the exclusive-use flag is set but no other process holds the slave open, clears it and
    // returns true.
    bool clearStaleExclusive();

signals:
    void received(const QByteArray &bytes, double timeMs);
    // The panel read enough for the last waiting bytes to go out: emitted once each time the queue
    // runs empty, also when a write() sent what waited (then after that call, never from within it).
    void drained();

private:
    void readMaster();
    void flushQueue();
    bool makeLink(QString *error);
    bool othersHoldSlave() const;

    QString m_link;
    QString m_device;
    QString m_previousDevice;
    int m_master = -1;
    int m_slave = -1;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QByteArray m_queue;
};

} // namespace sim
