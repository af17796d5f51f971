#include "history/history_database.h"

#include "history/schema.h"

#include <QAtomicInt>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDriver>
#include <QSqlQuery>
#include <QStandardPaths>

#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QAtomicInt g_connections;

// SQLite's primary result codes that matter here.
constexpr int kSqliteError = 1;
constexpr int kSqliteCorrupt = 11;
constexpr int kSqliteNotADatabase = 26;

// A Qt SQL error as the operator reads it: SQLite's own words.
QString describe(const QSqlError &error)
{
    QString text = error.databaseText().trimmed();
    if (text.isEmpty())
        text = error.driverText().trimmed();
    return text.isEmpty() ? QStringLiteral("unknown error") : text;
}

QSqlError exec(QSqlDatabase &db, const QString &sql)
{
    QSqlQuery query(db);
    if (!query.exec(sql))
        return query.lastError();
    return {};
}

// An error made here (not by SQLite), with the text the operator reads.
QSqlError ownError(const QString &text)
{
    return QSqlError(QString(), text, QSqlError::ConnectionError);
}

// A writer that finds the file locked by another connection (the recorder's thread in the middle of
// a batch) tries again every 100 microseconds, for up to 100 ms: SQLite's own handler would sleep
// whole milliseconds, and longer each time, for a lock held a fraction of one.
constexpr int kBusyStepUs = 100;
constexpr int kBusySteps = 1000;

int retryBusy(void *, int count)
{
    if (count >= kBusySteps)
        return 0;
    ::usleep(kBusyStepUs);
    return 1;
}

// The device and inode of the file at `path`; false when there is none.
bool fileIdentity(const QString &path, quint64 *device, quint64 *inode)
{
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return false;
    *device = quint64(info.st_dev);
    *inode = quint64(info.st_ino);
    return true;
}

bool runningAsRoot()
{
    return ::geteuid() == 0;
}

QString reasonOf(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

// Run as root, `path` (made by this run, or left as root's by an earlier one) takes the owner of
// the folder it lies in when that is someone else's: the operator whose home it is.
void giveToFolderOwner(const QByteArray &path, const struct stat &folder)
{
    struct stat st;
    if (!runningAsRoot() || folder.st_uid == 0 || ::lstat(path.constData(), &st) != 0 || S_ISLNK(st.st_mode)
        || st.st_uid != 0)
        return;
    [[maybe_unused]] const int changed = ::lchown(path.constData(), folder.st_uid, folder.st_gid);
}

// Creates `folder` and its parents, each made 0700 (and, as root, given to the owner of the folder
// it is made in); the last one, made now or not, is given back when it was left as root's.
bool makeFolders(const QString &folder, QString *error)
{
    const QString clean = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
    qsizetype from = 1;
    struct stat parent {
    };
    bool parentKnown = false;
    while (true) {
        const qsizetype slash = clean.indexOf(QLatin1Char('/'), from);
        const QString part = slash < 0 ? clean : clean.left(slash);
        const QByteArray native = QFile::encodeName(part);
        struct stat st;
        if (::stat(native.constData(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) {
                *error = QStringLiteral("%1 is not a folder").arg(QDir::toNativeSeparators(part));
                return false;
            }
            if (slash < 0 && parentKnown)
                giveToFolderOwner(native, parent);
        } else if (::mkdir(native.constData(), 0700) != 0) {
            if (errno != EEXIST || ::stat(native.constData(), &st) != 0) {
                *error = QStringLiteral("cannot create the folder %1 (%2)")
                             .arg(QDir::toNativeSeparators(part), reasonOf(errno));
                return false;
            }
        } else {
            if (parentKnown)
                giveToFolderOwner(native, parent);
        }
        ::stat(native.constData(), &st);
        parent = st;
        parentKnown = true;
        if (slash < 0)
            return true;
        from = slash + 1;
    }
}

// The history file before SQLite opens it for writing: a regular file, or made here (0600). Its
// -wal and -shm, which SQLite makes with the file's mode and owner, lose what a wider umask gave
// other users, and as root all three go back to the folder's owner.
bool prepareFile(const QString &path, QString *error)
{
    const QByteArray native = QFile::encodeName(path);
    const QByteArray folderName = QFile::encodeName(QFileInfo(path).absolutePath());
    struct stat folder;
    if (::stat(folderName.constData(), &folder) != 0) {
        *error = QStringLiteral("cannot read the folder %1 (%2)")
                     .arg(QDir::toNativeSeparators(QFileInfo(path).absolutePath()), reasonOf(errno));
        return false;
    }
    struct stat st;
    if (::lstat(native.constData(), &st) != 0) {
        const int fd = ::open(native.constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST) {
            *error = QStringLiteral("cannot create %1 (%2)")
                         .arg(QDir::toNativeSeparators(path), reasonOf(errno));
            return false;
        }
        if (fd >= 0)
            ::close(fd);
        if (::lstat(native.constData(), &st) != 0) {
            *error = QStringLiteral("cannot create %1 (%2)")
                         .arg(QDir::toNativeSeparators(path), reasonOf(errno));
            return false;
        }
    }
    if (S_ISLNK(st.st_mode)) {
        *error = QStringLiteral("%1 is a symbolic link, not the history file itself")
                     .arg(QDir::toNativeSeparators(path));
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = QStringLiteral("%1 is not a regular file").arg(QDir::toNativeSeparators(path));
        return false;
    }
    for (const char *suffix : { "", "-wal", "-shm" }) {
        const QByteArray name = native + suffix;
        struct stat part;
        if (::lstat(name.constData(), &part) != 0 || !S_ISREG(part.st_mode))
            continue;
        giveToFolderOwner(name, folder);
        if ((part.st_mode & 077) != 0 && (part.st_uid == ::geteuid() || runningAsRoot()))
            ::chmod(name.constData(), part.st_mode & 0700);
    }
    return true;
}

} // namespace

namespace history_sql {

int resultCode(const QSqlError &error)
{
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok);
    return ok ? code & 0xff : 0; // extended codes carry the primary one in their low byte
}

bool isDamage(int code)
{
    return code == kSqliteCorrupt || code == kSqliteNotADatabase;
}

} // namespace history_sql

QString HistoryDatabase::defaultPath()
{
    // GenericDataLocation is $XDG_DATA_HOME, or ~/.local/share when it is unset.
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/ZTK Electronics/ValtronaAmp+/history.sqlite");
}

HistoryDatabase::HistoryDatabase(const QString &path, Mode mode, QObject *parent)
    : QObject(parent)
    , m_path(path.isEmpty() ? defaultPath() : path)
    , m_mode(mode)
    , m_connection(QStringLiteral("history-%1").arg(g_connections.fetchAndAddRelaxed(1)))
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    db.setDatabaseName(m_path);
    // A writer waits a moment for a reader that is recovering the log after a crash, never longer;
    // a reader is a command-line tool and may wait for the writer's checkpoint.
    db.setConnectOptions(mode == Mode::ReadOnly
            ? QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=5000")
            : QStringLiteral("QSQLITE_BUSY_TIMEOUT=100")); // replaced by retryBusy once open

    m_retry.setSingleShot(true);
    m_retry.setTimerType(Qt::PreciseTimer);
    connect(&m_retry, &QTimer::timeout, this, [this] {
        m_retryAllowed = true;
        emit retryDue();
    });
}

HistoryDatabase::~HistoryDatabase()
{
    closeConnection();
    QSqlDatabase::removeDatabase(m_connection);
}

bool HistoryDatabase::isOpen() const
{
    return QSqlDatabase::database(m_connection, false).isOpen();
}

void HistoryDatabase::closeConnection()
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    if (db.isOpen())
        db.close();
}

bool HistoryDatabase::open()
{
    if (m_mode == Mode::ReadOnly) {
        closeConnection();
        if (!QFileInfo(m_path).isFile()) {
            m_lastError = QStringLiteral("there is no history file yet");
            return false;
        }
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        if (!db.isValid() || !db.open()) {
            m_lastError = db.isValid() ? describe(db.lastError())
                                       : QStringLiteral("Qt SQL's SQLite driver is missing");
            return false;
        }
        m_lastError.clear();
        return true;
    }

    QString error;
    OpenResult result = openConnection(&error);
    if (result == OpenResult::Damaged) {
        QString movedTo;
        QString moveError;
        if (!moveAside(&movedTo, &moveError)) {
            noteFailure(QStringLiteral("the file is damaged (%1) and could not be moved aside: %2")
                            .arg(error, moveError));
            return false;
        }
        emit movedAside(movedTo,
            QStringLiteral("The history file was damaged (%1). It was moved aside as %2 and a new one "
                           "was started.")
                .arg(error, QFileInfo(movedTo).fileName()));
        result = openConnection(&error);
    }
    if (result != OpenResult::Opened) {
        closeConnection();
        noteFailure(error);
        return false;
    }
    return true;
}

HistoryDatabase::OpenResult HistoryDatabase::openConnection(QString *error)
{
    closeConnection();
    const QString folder = QFileInfo(m_path).absolutePath();
    if (!makeFolders(folder, error) || !prepareFile(m_path, error))
        return OpenResult::Failed;
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    if (!db.isValid()) {
        *error = QStringLiteral("Qt SQL's SQLite driver is missing");
        return OpenResult::Failed;
    }
    if (!db.open()) {
        *error = describe(db.lastError());
        return history_sql::isDamage(history_sql::resultCode(db.lastError())) ? OpenResult::Damaged
                                                                              : OpenResult::Failed;
    }
    if (sqlite3 *handle = sqliteHandle(db))
        sqlite3_busy_handler(handle, retryBusy, nullptr);
    const QSqlError failure = checkAndMigrate(db);
    if (!failure.isValid() && !fileIdentity(m_path, &m_device, &m_inode))
        m_device = m_inode = 0;
    if (failure.isValid()) {
        *error = describe(failure);
        // A damaged file stays open for moveAside(), which must see its log before SQLite's close
        // removes it.
        if (history_sql::isDamage(history_sql::resultCode(failure)))
            return OpenResult::Damaged;
        closeConnection();
        return OpenResult::Failed;
    }
    return OpenResult::Opened;
}

QSqlError HistoryDatabase::checkAndMigrate(QSqlDatabase &db)
{
    QSqlQuery query(db);
    // The first statement that reads the file: a file that is not a database fails here.
    if (!query.exec(QStringLiteral("PRAGMA journal_mode=WAL")))
        return query.lastError();
    const QString journal = query.next() ? query.value(0).toString() : QString();
    if (journal.compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0)
        return ownError(
            QStringLiteral("the file cannot keep a write-ahead log (journal mode \"%1\")").arg(journal));
    // A kill or a crash never loses a committed event; a power cut may lose the last few, never the
    // file. Writes then wait for no fsync but the checkpoint's.
    if (!query.exec(QStringLiteral("PRAGMA synchronous=NORMAL")))
        return query.lastError();
    if (!query.exec(QStringLiteral("PRAGMA wal_autocheckpoint=%1").arg(m_autoCheckpoint ? 1000 : 0)))
        return query.lastError();
    // The log gives back what a burst made it grow to once it is copied into the file: it never
    // keeps more than about a checkpoint's worth of the disk.
    if (!query.exec(QStringLiteral("PRAGMA journal_size_limit=%1").arg(kJournalSizeLimit)))
        return query.lastError();

    // The whole file, or the tables asked for where the file has them all; nothing where opening
    // checks nothing, unless this connection met damage.
    QStringList checks { QStringLiteral("PRAGMA quick_check") };
    if (!m_checkAtOpening && !m_damageSeen)
        checks.clear();
    m_damageSeen = false;
    if (!m_checkedTables.isEmpty() && !checks.isEmpty()) {
        QStringList scoped;
        for (const QString &table : m_checkedTables) {
            if (!query.prepare(
                    QStringLiteral("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?")))
                return query.lastError();
            query.bindValue(0, table);
            if (!query.exec())
                return query.lastError();
            if (query.next())
                scoped << QStringLiteral("PRAGMA quick_check(\"%1\")").arg(table);
            query.finish();
        }
        if (scoped.size() == m_checkedTables.size())
            checks = scoped;
    }
    for (const QString &check : checks) {
        if (!query.exec(check))
            return query.lastError();
        const QString verdict = query.next() ? query.value(0).toString() : QString();
        if (verdict != QLatin1String("ok")) {
            // Reported as SQLite reports a malformed file, so that it counts as damage.
            return QSqlError(QString(), QStringLiteral("failed SQLite's check: %1").arg(verdict),
                QSqlError::StatementError, QString::number(kSqliteCorrupt));
        }
        query.finish();
    }

    auto version = [&query]() -> int {
        return query.exec(QStringLiteral("PRAGMA user_version")) && query.next() ? query.value(0).toInt()
                                                                                 : -1;
    };
    int current = version();
    if (current < 0)
        return query.lastError();
    query.finish();
    if (current >= history_schema::latestVersion())
        return {}; // up to date, or written by a later panel whose steps only add to these

    if (QSqlError e = exec(db, QStringLiteral("BEGIN IMMEDIATE")); e.isValid())
        return e;
    current = version(); // another copy may have brought it up to date meanwhile
    query.finish();
    QSqlError failure = current < 0 ? query.lastError() : QSqlError();
    for (const history_schema::Step &step : history_schema::steps()) {
        if (failure.isValid() || step.version <= current)
            continue;
        for (const QString &statement : step.statements) {
            failure = exec(db, statement);
            if (failure.isValid())
                break;
        }
        if (!failure.isValid())
            failure = exec(db, QStringLiteral("PRAGMA user_version = %1").arg(step.version));
    }
    if (!failure.isValid())
        failure = exec(db, QStringLiteral("COMMIT"));
    if (failure.isValid())
        exec(db, QStringLiteral("ROLLBACK"));
    return failure;
}

bool HistoryDatabase::moveAside(QString *movedTo, QString *error)
{
    const QString stamp = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-hhmmss"));
    QString target = m_path + QStringLiteral(".damaged-") + stamp;
    for (int n = 2; QFileInfo::exists(target) || QFileInfo::exists(target + QStringLiteral("-wal")); ++n)
        target = m_path + QStringLiteral(".damaged-") + stamp + QLatin1Char('-') + QString::number(n);

    // The log and the shared memory index go with the file, under the names SQLite looks for
    // beside it, so that the moved file can still be opened with its log; left here, they would be
    // taken for the new file's. The connection may still be open, and closing it removes the log
    // (after folding what it can into the file), so each file gets its new name as a hard link
    // first and loses the old one after the close; where the file system has no hard links, it is
    // renamed after the close instead, as far as it is still there.
    const QStringList suffixes { QString(), QStringLiteral("-wal"), QStringLiteral("-shm") };
    QStringList linked;
    for (const QString &suffix : suffixes) {
        if (QFileInfo::exists(m_path + suffix)
            && ::link(QFile::encodeName(m_path + suffix).constData(),
                   QFile::encodeName(target + suffix).constData())
                == 0)
            linked << suffix;
    }
    closeConnection();
    for (const QString &suffix : suffixes) {
        QFile file(m_path + suffix);
        if (!file.exists())
            continue;
        const bool done = linked.contains(suffix) ? file.remove() : file.rename(target + suffix);
        if (!done && (suffix.isEmpty() || !file.remove())) {
            *error = file.errorString();
            return false;
        }
    }
    *movedTo = target;
    return true;
}

bool HistoryDatabase::ensureWritable()
{
    if (m_paused && !m_retryAllowed && m_sinceFailure.isValid() && m_sinceFailure.elapsed() < m_retryMs)
        return false;
    m_retryAllowed = false;
    // Someone removed or moved the file (another connection may have moved it aside as damaged and
    // started a new one): writing on would go nowhere anybody reads.
    if (isOpen() && !isSameFile())
        closeStaleConnection();
    return isOpen() || open();
}

bool HistoryDatabase::write(const std::function<QSqlError(QSqlDatabase &)> &work)
{
    if (m_mode == Mode::ReadOnly || !ensureWritable())
        return false;
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QSqlError failure = exec(db, QStringLiteral("BEGIN IMMEDIATE"));
    const bool begun = !failure.isValid();
    if (begun)
        failure = work(db);
    if (!failure.isValid())
        failure = exec(db, QStringLiteral("COMMIT"));
    if (failure.isValid()) {
        // SQLite may have rolled back by itself ("no transaction is active", a plain SQLITE_ERROR);
        // a connection that cannot roll back otherwise, or whose file turned out damaged, is
        // opened afresh, and checked, at the next attempt.
        const QSqlError rollback = begun ? exec(db, QStringLiteral("ROLLBACK")) : QSqlError();
        if (history_sql::isDamage(history_sql::resultCode(failure)))
            m_damageSeen = true;
        if ((rollback.isValid() && history_sql::resultCode(rollback) != kSqliteError)
            || history_sql::isDamage(history_sql::resultCode(failure)))
            closeConnection();
        noteFailure(describe(failure));
        return false;
    }
    m_lastError.clear();
    if (m_paused) {
        m_paused = false;
        m_told = false;
        m_retry.stop();
        emit writeRecovered();
    }
    return true;
}

bool HistoryDatabase::writeWhilePaused(const std::function<QSqlError(QSqlDatabase &)> &work)
{
    if (!m_paused)
        return write(work);
    if (m_mode == Mode::ReadOnly)
        return false;
    if (isOpen() && !isSameFile())
        closeStaleConnection();
    if (!isOpen() && !open())
        return false;
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QSqlError failure = exec(db, QStringLiteral("BEGIN IMMEDIATE"));
    const bool begun = !failure.isValid();
    if (begun)
        failure = work(db);
    if (!failure.isValid())
        failure = exec(db, QStringLiteral("COMMIT"));
    if (failure.isValid() && begun)
        exec(db, QStringLiteral("ROLLBACK"));
    return !failure.isValid();
}

bool HistoryDatabase::isSameFile() const
{
    quint64 device = 0;
    quint64 inode = 0;
    return fileIdentity(m_path, &device, &inode) && device == m_device && inode == m_inode;
}

sqlite3 *HistoryDatabase::sqliteHandle(const QSqlDatabase &db)
{
    const QVariant handle = db.isOpen() && db.driver() ? db.driver()->handle() : QVariant();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return nullptr;
    return *static_cast<sqlite3 *const *>(handle.constData());
}

// The connection's file is no longer at its path. SQLite's last connection to a file removes the
// log and its index by name when it closes, which would now be the new file's, in use by others:
// this one keeps them.
void HistoryDatabase::closeStaleConnection()
{
    if (sqlite3 *handle = sqliteHandle(QSqlDatabase::database(m_connection, false))) {
        int persist = 1;
        sqlite3_file_control(handle, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
    }
    closeConnection();
}

QSqlDatabase HistoryDatabase::reader()
{
    if (m_mode == Mode::ReadWrite && isOpen() && !isSameFile())
        closeStaleConnection();
    if (!isOpen()) {
        if (m_mode == Mode::ReadOnly)
            open();
        else
            ensureWritable();
    }
    return QSqlDatabase::database(m_connection, false);
}

void HistoryDatabase::setAutoCheckpoint(bool on)
{
    m_autoCheckpoint = on;
    if (m_mode == Mode::ReadWrite && isOpen()) {
        QSqlQuery query(QSqlDatabase::database(m_connection, false));
        query.exec(QStringLiteral("PRAGMA wal_autocheckpoint=%1").arg(on ? 1000 : 0));
    }
}

int HistoryDatabase::schemaVersion()
{
    QSqlDatabase db = reader();
    if (!db.isOpen())
        return -1;
    QSqlQuery query(db);
    return query.exec(QStringLiteral("PRAGMA user_version")) && query.next() ? query.value(0).toInt() : -1;
}

void HistoryDatabase::noteFailure(const QString &reason)
{
    m_lastError = reason;
    m_paused = true;
    m_retryAllowed = false;
    m_sinceFailure.start();
    m_retry.start(m_retryMs);
    if (!m_told) {
        m_told = true;
        emit writeProblem(QStringLiteral("The history file %1 cannot be written: %2. Logging is paused and "
                                         "resumes by itself when the file can be written again.")
                              .arg(QDir::toNativeSeparators(m_path), reason));
    }
}
