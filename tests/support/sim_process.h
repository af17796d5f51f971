#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>

// Runs the transmitter simulator (valtrona-sim) as a child process for a test or a measurement:
// starts it with a device link, a log and a state file in a temporary folder of its own, sends it
// one-line commands and reads back its answers, its log records and its state. Waits run the
// caller's event loop, so a serial port of the caller keeps working meanwhile.
class SimProcess : public QObject
{
    Q_OBJECT
public:
    explicit SimProcess(QObject *parent = nullptr);
    ~SimProcess() override;

    // The program to run (the build's valtrona-sim unless set), and whether it keeps its log and its
    // state file (it does unless told otherwise; a measurement spares the machine the writing). Set
    // before start().
    void setProgram(const QString &path) { m_process.setProgram(path); }
    void setRecording(bool on) { m_recording = on; }

    // Starts the simulator with `extraArgs` (e.g. {"--report", "Pfwd=1W,..."}) and waits for its
    // device line. False when it did not come up; stderrText() tells why.
    bool start(const QStringList &extraArgs = {}, int timeoutMs = 10000);
    // Asks it to quit and waits; kills it if it does not end.
    void stop();
    bool isRunning() const { return m_process.state() == QProcess::Running; }

    QString devicePath() const { return m_device; } // the current pseudo-terminal
    QString linkPath() const; // the stable name the panel opens
    QString logPath() const;
    QString stateFilePath() const;

    // Sends one command and waits for its "ok"/"error" line. Returns the lines printed before it;
    // `ok` tells whether the simulator answered "ok" in time.
    QStringList command(const QString &line, bool *ok = nullptr, int timeoutMs = 5000);
    // Sends one command that must succeed: anything but "ok" in time fails the running test.
    void require(const QString &line);
    // The simulator's state, from its "state" command (empty on failure).
    QJsonObject state();
    // The state file as last written.
    QJsonObject stateFile() const;
    bool unplug();
    bool replug(); // devicePath() is the new device afterwards

    // Log records, all or those whose "event" is `event` ("frame", "malformed", "chunk", "line",
    // "wrong-line", "reply", "sent", "device", "unplug").
    QList<QJsonObject> logRecords(const QString &event = {}) const;
    QList<QJsonObject> frames() const { return logRecords(QStringLiteral("frame")); }
    // How many frames of `command` ("FM", "FO", ...) it has read.
    int framesOf(const QString &command) const;
    // Waits until at least `count` records of `event` are logged.
    bool waitForRecords(const QString &event, int count, int timeoutMs = 5000) const;

    QByteArray stderrText() const { return m_stderr; }

private:
    void readStdout();

    QTemporaryDir m_dir;
    QProcess m_process;
    QByteArray m_stdoutPartial;
    QStringList m_lines;
    QByteArray m_stderr;
    QString m_device;
    bool m_recording = true;
};

// Runs the event loop until `condition` holds or `timeoutMs` pass; returns the condition.
bool waitUntil(const std::function<bool()> &condition, int timeoutMs);
