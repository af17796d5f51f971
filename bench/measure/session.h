#pragma once

#include <QByteArray>
#include <QLocalServer>
#include <QPointer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <functional>
#include <optional>

class QLocalSocket;

// Runs the event loop until `done` holds or `timeoutMs` pass; returns `done()`.
bool waitFor(const std::function<bool()> &done, int timeoutMs);

// One run of the panel with the probe loaded, from its launch to its end.
class PanelRun : public QObject
{
    Q_OBJECT
public:
    PanelRun(const QString &panelPath, const QString &probePath, const QString &socketPath,
        const QProcessEnvironment &env, QObject *parent = nullptr);
    ~PanelRun() override;

    // Starts the panel and waits for its probe to connect.
    bool start(QString *error);
    qint64 pid() const { return m_process.processId(); }
    qint64 launchedNs() const { return m_launchedNs; }

    // Waits for a probe line starting with `prefix` (received after index `from` of lines()).
    std::optional<QByteArray> waitForLine(const QByteArray &prefix, int timeoutMs, int from = 0);
    // The time (ns) in a line "<word> <t>" or "<word> <x> <t>": its last field.
    static qint64 lineTime(const QByteArray &line);
    const QList<QByteArray> &lines() const { return m_lines; }

    void send(const QByteArray &line);
    // Asks the window to close and waits for the end; kills it when it does not end in time.
    void stop(int timeoutMs = 5000);
    QByteArray stderrText() const { return m_stderr; }

private:
    void readProbe();

    QString m_panelPath;
    QProcessEnvironment m_env;
    QLocalServer m_server;
    QPointer<QLocalSocket> m_socket;
    QProcess m_process;
    QByteArray m_partial;
    QList<QByteArray> m_lines;
    QByteArray m_stderr;
    qint64 m_launchedNs = 0;
};

qint64 monotonicNs();
