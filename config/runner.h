#pragma once

#include "config/scripts.h"

#include <QObject>
#include <QTimer>

class SerialLink;

// Runs one script at a time over the link, on the event loop: writes go out at once and pauses
// are single-shot timers, so the window keeps painting and no other frame can come between the
// script's frames (the senders ask isRunning() first). A write failure stops the script.
class ScriptRunner : public QObject
{
    Q_OBJECT
public:
    explicit ScriptRunner(SerialLink &link, QObject *parent = nullptr);

    // False (and nothing done) while another script runs.
    bool start(const scripts::Script &script);
    bool isRunning() const { return m_running; }

signals:
    void progress(const QString &text, int value);
    void finished();                      // every step was carried out
    void failed(const QString &text);     // stopped early; the progress report has been reset
    void runningChanged(bool running);

private:
    void runSteps();
    void stop();

    SerialLink &m_link;
    scripts::Script m_script;
    int m_next = 0;
    bool m_running = false;
    QTimer m_timer;
};
