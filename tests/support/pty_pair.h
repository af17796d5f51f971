#pragma once

#include <QByteArray>
#include <QString>

// The far end of a serial line for tests: a pseudo-terminal whose slave the panel opens as its
// serial port, while the test reads and writes the master. Optionally the slave is reached through
// a symlink (a stable name like /dev/serial/by-id/...), which replug() points at a fresh pair, as
// when an adapter is plugged in again. Give each symlink a path in a temporary folder of its own:
// the port layer's lock file is named after the full path. The helper keeps a slave descriptor of
// its own open, so the master reads cleanly while the panel has the port closed; tcgetattr on
// slaveFd() shows what the panel configured. Not thread-safe; waits run the caller's event loop.
class PtyPair
{
public:
    // `linkPath`, when given, is made a symlink to the slave (replacing whatever is there).
    explicit PtyPair(const QString &linkPath = {});
    ~PtyPair();
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    bool isValid() const { return m_master >= 0; }
    QString slavePath() const { return m_slavePath; }
    QString path() const { return m_linkPath.isEmpty() ? m_slavePath : m_linkPath; } // what to open
    int slaveFd() const { return m_slave; }

    // Everything the panel wrote since the last take (reads what is waiting, never blocks).
    QByteArray takeWritten();
    // Runs the event loop until at least `count` bytes were written (or `timeoutMs` passed) and
    // takes them all.
    QByteArray waitForWritten(int count, int timeoutMs = 3000);
    // Sends `bytes` to the panel.
    bool write(const QByteArray &bytes);

    // Closes both ends, as when the adapter is pulled out, and removes the symlink as the system
    // removes a by-id name (a dangling one could come back to life: pty numbers are reused at once).
    void unplug();
    // A new pseudo-terminal (after unplugging the old one if still there); the symlink, if any,
    // points at it.
    bool replug();

private:
    bool openPair();
    void drain();

    QString m_linkPath;
    QString m_slavePath;
    int m_master = -1;
    int m_slave = -1;
    QByteArray m_written;
};
