#pragma once

#include <QObject>

class QSocketNotifier;

// SIGTERM and SIGINT delivered on the event loop. The handler itself only writes the signal's
// number to one end of a socket pair; a notifier on the other end reads it and says received(), so
// whatever the program does about it runs outside the handler, between two events. One object at a
// time; the default actions come back when it goes.
class StopSignals : public QObject
{
    Q_OBJECT
public:
    explicit StopSignals(QObject *parent = nullptr);
    ~StopSignals() override;

    // False when the socket pair could not be made: the signals keep their default action.
    bool isInstalled() const { return m_notifier != nullptr; }

signals:
    void received(int signal);

private:
    void readSignals();

    QSocketNotifier *m_notifier = nullptr;
};
