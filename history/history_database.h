#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QSqlDatabase>
#include <QSqlError>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <functional>

struct sqlite3;

// The panel's history file, one SQLite database shared by the event log and the samples. It keeps
// the file's faults away from the wire and the window: nothing here throws, and no call waits for
// more than a short busy timeout. A file that cannot be opened or written pauses writing: the
// problem is told once per episode, writes are retried at most every retryInterval() (a write in
// between returns false at once), and the first write that works again tells the recovery. A
// damaged file (not a database, or failing SQLite's quick check when opened) is moved aside as
// "<name>.damaged-<yyyyMMdd-hhmmss>" (UTC) with its -wal and -shm, and a new one is started.
//
// The file may be written through several objects (the event log's and the samples' connections):
// each notices when the file it has open is no longer the one at its path, and opens that.
//
// Opened read-only, it never creates, changes or moves anything and takes no lock that a writer
// would wait for (write-ahead log), so a second process can read while the panel writes.
//
// Each object has a Qt SQL connection of its own; use it from the thread that created it.
class HistoryDatabase : public QObject
{
    Q_OBJECT
public:
    enum class Mode { ReadWrite, ReadOnly };

    static constexpr int kDefaultRetryMs = 5000;
    // What the write-ahead log keeps of the disk after a checkpoint (SQLite's automatic one
    // copies at 1000 pages of 4 KiB).
    static constexpr qint64 kJournalSizeLimit = 4 * 1024 * 1024;

    // $XDG_DATA_HOME/ZTK Electronics/ValtronaAmp+/history.sqlite (~/.local/share/... when unset),
    // taken from the environment each time.
    static QString defaultPath();

    // `path` empty: defaultPath(). Nothing is opened yet: connect the signals, then open().
    explicit HistoryDatabase(
        const QString &path = {}, Mode mode = Mode::ReadWrite, QObject *parent = nullptr);
    ~HistoryDatabase() override;

    QString path() const { return m_path; }
    Mode mode() const { return m_mode; }

    // Opens the file now: for writing, creates its folder (0700) and the file (0600, and so its
    // -wal and -shm, which SQLite makes with the file's mode and owner), sets write-ahead logging,
    // checks it and brings its tables up to date. Run as root (sudo -E with the operator's home),
    // what it creates is given to the owner of the folder it is made in, and a file or folder of
    // the history left as root's under a folder of another owner is given back, so that the
    // operator's next run can write it. A path that is not a regular file (a symbolic link, a
    // folder, a pipe) is refused before SQLite opens anything. False when that failed (writing is then paused
    // and the problem told) or, read-only, when there is no readable file.
    bool open();
    bool isOpen() const;
    bool isPaused() const { return m_paused; }
    // Why the last open or write failed, for the operator; empty once one works again.
    QString lastError() const { return m_lastError; }
    // The file's PRAGMA user_version: 0 for a new file, -1 when it cannot be read.
    int schemaVersion();

    // Runs `work` in one write transaction and commits it when `work` returns no error (a default
    // QSqlError); otherwise rolls it back, and the error counts as a failure of the file. Returns
    // whether it is committed. False at once, without touching the disk, in read-only mode and while
    // paused with no retry due.
    bool write(const std::function<QSqlError(QSqlDatabase &)> &work);

    // As write(), also while paused and between retries, on the connection already open, and with
    // no effect on the pause: neither a problem nor a recovery is told. For retention, which makes
    // the room a full disk lacks, while the writes that fill the file wait.
    bool writeWhilePaused(const std::function<QSqlError(QSqlDatabase &)> &work);

    // The connection to read through, opened when needed; not open when the file cannot be read.
    QSqlDatabase reader();

    void setRetryInterval(int ms) { m_retryMs = ms; }
    int retryInterval() const { return m_retryMs; }

    // What the check at opening covers: the whole file (by default), or only `tables` and their
    // indexes. A file with a year of samples takes seconds to check whole: the window's connection
    // checks the events, and leaves the whole file to the recorder's thread.
    void setCheckedTables(const QStringList &tables) { m_checkedTables = tables; }
    // Whether opening checks anything at all. Off for the window's connection: a check reads what
    // it checks whole, which grows with the file, and the recorder's thread checks the whole file
    // when it opens it. A connection whose own write met a damaged file checks at its next opening
    // all the same (the tables set above), so that it can move that file aside.
    void setCheckAtOpening(bool on) { m_checkAtOpening = on; }

    // Whether this connection's commits run the write-ahead log's checkpoints themselves (SQLite's
    // default). Off where another thread checkpoints (SampleRecorder), so that a commit here never
    // waits for copying the log into the file.
    void setAutoCheckpoint(bool on);

signals:
    // Writing stopped working: once per episode, with a text for the operator.
    void writeProblem(const QString &text);
    // A write worked again after a problem.
    void writeRecovered();
    // While paused, every retryInterval(): the time to try again with what is waiting.
    void retryDue();
    // A damaged file was moved aside to `movedTo` and a new one started; `text` for the operator.
    void movedAside(const QString &movedTo, const QString &text);

private:
    enum class OpenResult { Opened, Failed, Damaged };
    OpenResult openConnection(QString *error);
    QSqlError checkAndMigrate(QSqlDatabase &db);
    bool moveAside(QString *movedTo, QString *error);
    bool ensureWritable();
    void noteFailure(const QString &reason);
    void closeConnection();
    bool isSameFile() const;
    void closeStaleConnection();
    static sqlite3 *sqliteHandle(const QSqlDatabase &db);

    QString m_path;
    Mode m_mode;
    QString m_connection;
    bool m_paused = false;
    bool m_told = false;
    bool m_retryAllowed = false;
    int m_retryMs = kDefaultRetryMs;
    QElapsedTimer m_sinceFailure;
    QTimer m_retry;
    QString m_lastError;
    bool m_autoCheckpoint = true;
    QStringList m_checkedTables;
    bool m_checkAtOpening = true;
    bool m_damageSeen = false;
    // The file the connection has open (device and inode), to notice that another connection moved
    // it aside and started a new one.
    quint64 m_device = 0;
    quint64 m_inode = 0;
};

namespace history_sql {

// The SQLite result code of a Qt SQL error (its primary part), 0 when there is none.
int resultCode(const QSqlError &error);
// True for the codes that mean the file itself is damaged (not a database, malformed).
bool isDamage(int resultCode);

} // namespace history_sql
