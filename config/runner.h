#pragma once

#include "config/scripts.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class TransmitterLink;

// Runs one script at a time over the link, on the event loop: writes go out at once and pauses
// are single-shot timers, so the window keeps painting and no other frame can come between the
// script's frames (the senders ask isRunning() first). A write failure stops the script.
class ScriptRunner : public QObject
{
    Q_OBJECT
public:
    explicit ScriptRunner(TransmitterLink &link, QObject *parent = nullptr);
    // The session builds a new link when the port's entry asks for another kind (never while a
    // script runs).
    void setLink(TransmitterLink &link);

    // False (and nothing done) while another script runs.
    bool start(const scripts::Script &script);
    bool isRunning() const { return m_running; }

signals:
    void progress(const QString &text, int value);
    void finished(); // every step was carried out
    void failed(const QString &text); // stopped early; the progress report has been reset
    void runningChanged(bool running);

private:
    void runSteps();
    void stop(); // after the last step: finished()
    void abort(const QString &linkText); // on a failure: progress(text, 0), then failed(text)

    TransmitterLink *m_link = nullptr;
    QMetaObject::Connection m_failedConnection;
    scripts::Script m_script;
    int m_next = 0;
    bool m_running = false;
    quint64 m_generation = 0; // tells a stopped or restarted script from the one in hand
    QTimer m_timer;
    QElapsedTimer m_sinceWrite; // a pause counts from the last write (or the last pause)
};
