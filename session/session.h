#pragma once

#include "config/runner.h"
#include "link/port_check.h"
#include "link/transmitter_link.h"
#include "status/monitor.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>

struct SettingsRecord;

// The one owner of the wire to the transmitter. It holds the link (the kind the port's entry asks
// for: a serial port or a network one), the port check, the script runner and the status monitor,
// and feeds the monitor what the link receives. Every sender goes through it: the status request is a script
// on the same runner as the downloads, so the frames of two commands never interleave, whoever asks. It is
// the one place that reads the settings record for the wire (the port, the values sent). A window, or
// a monitor without one, calls its operations and shows what its signals say.
class TransmitterSession : public QObject
{
    Q_OBJECT
public:
    // Why an operation did not start.
    enum class Outcome {
        Started, // the script is on the wire (a status request has already ended)
        Busy, // another script is running: nothing was written
        NoPort, // the port check failed (missing port or another failure): nothing was written
        Refused, // a setting cannot be sent: nothing was written, refused() said why
        ShutDown // the session has been shut down: nothing is written any more
    };

    explicit TransmitterSession(QObject *parent = nullptr);
    ~TransmitterSession() override;

    // The first port check, at start-up.
    void startUp();

    // "Read status": port check, then the status request. Does not wait for the answer.
    Outcome readStatus();
    // Once a second: a status request when auto-read is on and nothing holds the ticks back, and the
    // stale check either way.
    void tick();
    // Auto read as the operator has it now (the window's "Auto read status" box).
    void setAutoRead(bool on) { m_autoRead = on; }
    bool autoRead() const { return m_autoRead; }
    // While this says so, ticks send nothing (another window of the program is in front).
    void setTickHold(std::function<bool()> held) { m_tickHeld = std::move(held); }

    // "Update amplifier" and "Update Logo text", from the record as it is now.
    Outcome downloadAmplifier();
    Outcome downloadLogo();

    // The operator chose a port (COMSelected is stored): open it now if the link is closed, and tell a
    // missing one again.
    void applyPortChoice();
    // Lets go of the port so that the next port check opens it afresh; a running script keeps it
    // until it has ended.
    void releasePort();
    // No more writes from now on: ticks and operations do nothing, a running script ends whole, then
    // the port is released and released() is emitted (at once when nothing runs).
    void shutDown();
    bool isShutDown() const { return m_shutDown; }
    bool isReleased() const { return m_shutDown && !m_runner.isRunning() && !m_link->isOpen(); }

    // "Clear": empties the receive buffer.
    void clearBuffer() { m_monitor.clearBuffer(); }

    // While the missing-port message is open, ticks run no port check.
    void setMissingPortShowing(bool showing) { m_check.setMessageShowing(showing); }
    bool missingPortShowing() const { return m_check.messageShowing(); }

    bool isRunning() const { return m_runner.isRunning(); }
    bool isLinkOpen() const { return m_link->isOpen(); }
    QString openDevice() const { return m_link->openDevicePath(); }
    const report::Display &display() const { return m_monitor.display(); }
    const QString &buffer() const { return m_monitor.buffer(); }
    bool isStale() const { return m_monitor.isStale(); }
    QDateTime lastReportTime() const { return m_monitor.lastReportTime(); }

    // The parts, to look at (their signals included). Nothing outside the session changes them; the
    // test kit's SessionTestAccess reaches them for tests and measurements.
    const TransmitterLink &link() const { return *m_link; }
    const PortCheck &portCheck() const { return m_check; }
    const StatusMonitor &monitor() const { return m_monitor; }
    const ScriptRunner &runner() const { return m_runner; }

signals:
    // The progress report: a text for the status bar and a value for the progress bar (0 to 21).
    void progress(const QString &text, int value);
    void displayChanged();
    void bufferChanged();
    void staleChanged(bool stale);
    // A download started or ended (a status request, over within its call, says nothing).
    void runningChanged(bool running);
    // The link opened on `device`, or closed (lost, released or shut down).
    void linkChanged(bool open, const QString &device);
    // The link was lost or failed: a text naming the device. SettingRejected: a device server did
    // not set the line as asked; the link stays open.
    void linkFailed(LinkFailure kind, const QString &text);
    // A port check failed for another reason than a missing port (permission, busy, ...).
    void linkProblem(const QString &text);
    // The selected port does not exist.
    void missingPort();
    // A download was refused before any byte went out.
    void refused(const QString &text);
    // A script ended whole (or stopped early with `ok` false).
    void scriptEnded(bool ok);
    // After shutDown(): nothing runs and the port is closed.
    void released();
    // A download ended: whole, or stopped early. `sent` says what it carried, in the record's words.
    void amplifierDownloaded(bool whole, const QString &sent);
    void logoDownloaded(bool whole, const QString &sent);
    // The operator chose a port (after the choice's own port check).
    void portChosen(int port, const QString &device);
    // Requests went out and not a byte came back while the port looked open: the port was opened
    // afresh (once per silent episode), in case the serial layer had stopped delivering.
    void lineReopened(const QString &device);

private:
    friend class SessionTestAccess;
    enum class Script { None, Status, Amplifier, Logo };

    CheckResult check(CheckOrigin origin);
    Outcome run(Script kind, const scripts::Script &script);
    Outcome requestStatus(CheckOrigin origin);
    void onRunningChanged(bool running);
    void onScriptEnded(bool whole);
    void onStale(bool stale);
    // A link of the kind `entry` asks for, in place of one that is closed and of another kind.
    void fitLink(const QString &entry);
    void connectLink();

    std::unique_ptr<TransmitterLink> m_link;
    PortCheck m_check { *m_link };
    ScriptRunner m_runner { *m_link };
    StatusMonitor m_monitor;
    std::function<bool()> m_tickHeld;
    Script m_script = Script::None;
    Script m_ended = Script::None; // the script whose end is being told
    QString m_sent; // what the running download carries
    bool m_autoRead = false;
    bool m_closeAfterScript = false;
    bool m_shutDown = false;
    QElapsedTimer m_sinceByte; // since the last byte received (invalid: none yet)
    bool m_reopenedThisEpisode = false;
};
