#pragma once

#include <QList>
#include <QObject>

class QSocketNotifier;

// SIGTERM and the like as a Qt signal on the event loop, so that a program asked to stop ends as it
// does when closed: what it holds is committed and its files are left whole. The handler only
// writes the signal's number into a pipe; a QSocketNotifier reads it on the event loop.
// One object at a time; the signals get their default handling back when it is destroyed.
class StopSignals : public QObject
{
    Q_OBJECT
public:
    // Catches `signalNumbers` (SIGTERM, SIGINT, ...) from now on. isValid() tells whether it could.
    explicit StopSignals(const QList<int> &signalNumbers, QObject *parent = nullptr);
    ~StopSignals() override;

    bool isValid() const { return m_notifier != nullptr; }

signals:
    void received(int signalNumber);

private:
    void readPipe();

    QList<int> m_signals;
    QSocketNotifier *m_notifier = nullptr;
};
