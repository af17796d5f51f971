#pragma once

#include <QObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

// The real valtrona-panel --headless as a child process of a test, with no display: it inherits the
// test's store and data folders (TestStoreHome) and none of DISPLAY, WAYLAND_DISPLAY or
// QT_QPA_PLATFORM. Its standard error is collected line by line; waits run the caller's event loop.
class HeadlessProcess : public QObject
{
    Q_OBJECT
public:
    explicit HeadlessProcess(QObject *parent = nullptr);
    ~HeadlessProcess() override; // kills it if it still runs

    // The environment a child of the test gets: the test's own, without a display.
    static QProcessEnvironment environment();
    // A store whose COM 1 is `device`, selected, with `extra` groups after it.
    static QByteArray storeText(const QString &device, const QByteArray &extra = {});

    // valtrona-panel --headless `extraArgs`; false when it did not start.
    bool start(const QStringList &extraArgs = {});
    bool isRunning() const { return m_process.state() == QProcess::Running; }
    qint64 pid() const { return m_process.processId(); }
    bool sendSignal(int signal) const;
    // Waits for the end; false when it runs on after `timeoutMs`.
    bool waitForExit(int timeoutMs = 15000);
    int exitCode() const { return m_process.exitCode(); }
    QProcess::ExitStatus exitStatus() const { return m_process.exitStatus(); }

    QStringList lines() const { return m_lines; }
    QString text() const { return m_lines.join(QLatin1Char('\n')); }
    // How many lines hold `part`.
    int count(const QString &part) const;
    // Waits until `n` lines hold `part`.
    bool waitForLines(const QString &part, int n = 1, int timeoutMs = 15000);

    // The processor time it has used so far, user and system, from /proc (-1 when unknown).
    double cpuSeconds() const;

private:
    void readStderr();

    QProcess m_process;
    QByteArray m_partial;
    QStringList m_lines;
};
