#pragma once

#include <QByteArray>
#include <QObject>

class QSocketNotifier;

// The probe's line-based connection to the measuring tool: a Unix stream socket, written without
// raising SIGPIPE in the panel should the tool go away, and read on the panel's own event loop.
class ProbeChannel : public QObject
{
    Q_OBJECT
public:
    explicit ProbeChannel(QObject *parent = nullptr);
    ~ProbeChannel() override;

    bool connectTo(const QByteArray &socketPath);
    void send(const QByteArray &line);

signals:
    void command(const QByteArray &line);

private:
    void readAvailable();

    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
    QByteArray m_pending;
};

// CLOCK_MONOTONIC in nanoseconds: the clock the measuring tool reads when it starts the panel.
qint64 monotonicNs();
