#pragma once

#include "history/event_log.h"
#include "history/history_database.h"
#include "history/sample_recorder.h"
#include "watch/transmitter_watch.h"

#include <QObject>
#include <QString>

class TransmitterSession;

// What the panel keeps of the transmitter besides the wire: the watch that turns the session's
// reports, link states and the operator's actions into events, and the history file those events
// are logged in, each committed as it happens, beside a sample of every applied report (committed
// in batches by the recorder's own thread). A window and a monitor without one share it; the
// notifications and the tray listen to its watch.
class Station : public QObject
{
    Q_OBJECT
public:
    // `databasePath` empty: the history file in the user's data folder.
    explicit Station(TransmitterSession &session, const QString &databasePath = {}, QObject *parent = nullptr);
    ~Station() override;

    TransmitterWatch &watch() { return m_watch; }
    EventLog &log() { return m_log; }
    HistoryDatabase &database() { return m_database; }
    SampleRecorder &recorder() { return m_recorder; }

    void noteStarted() { m_watch.noteAction(WatchEvent::Kind::PanelStarted); }
    void noteClosed() { m_watch.noteAction(WatchEvent::Kind::PanelClosed); }

signals:
    // The history file cannot be written (once per episode, whether the events or the samples found
    // out), or was damaged and moved aside: a text for the operator. Writing goes on by itself once
    // it can.
    void problem(const QString &text);

private:
    void noteWriteProblem(int writer, const QString &text);

    TransmitterSession &m_session;
    HistoryDatabase m_database;
    EventLog m_log{m_database};
    SampleRecorder m_recorder;
    int m_failing = 0; // the writers (bits) whose writes fail
    TransmitterWatch m_watch;
    QString m_device; // the device the link was last open on
};
