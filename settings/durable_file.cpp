#include "settings/durable_file.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace durable_file {

namespace {

QString reason(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

// Closes a descriptor on every path out of a function.
class Descriptor
{
public:
    explicit Descriptor(int fd)
        : m_fd(fd)
    {
    }
    ~Descriptor() { close(); }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return m_fd; }
    int close()
    {
        int rc = 0;
        if (m_fd >= 0)
            rc = ::close(m_fd);
        m_fd = -1;
        return rc;
    }

private:
    int m_fd;
};

bool runningAsRoot()
{
    return ::geteuid() == 0;
}

// Creates `folder` and its parents; true when it exists as a folder afterwards. Run as root, a
// folder it makes belongs to the owner of the folder it is made in, as the store's file does.
bool makeFolders(const QString &folder, QString *error)
{
    const QString clean = QDir::cleanPath(folder);
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
                *error = QStringLiteral("the folder %1 could not be created (%2: %3)")
                             .arg(QDir::toNativeSeparators(clean), QDir::toNativeSeparators(part),
                                 reason(ENOTDIR));
                return false;
            }
        } else if (::mkdir(native.constData(), 0777) != 0) {
            if (errno != EEXIST || ::stat(native.constData(), &st) != 0) {
                *error = QStringLiteral("the folder %1 could not be created (%2)")
                             .arg(QDir::toNativeSeparators(part), reason(errno));
                return false;
            }
        } else {
            // Made by the panel run as root: it takes the owner of the folder it was made in, as
            // the store's file does. Should that fail, the save goes on all the same.
            if (runningAsRoot() && parentKnown) {
                [[maybe_unused]] const int changed
                    = ::chown(native.constData(), parent.st_uid, parent.st_gid);
            }
            ::stat(native.constData(), &st);
        }
        parent = st;
        parentKnown = true;
        if (slash < 0)
            return true;
        from = slash + 1;
    }
}

bool writeAll(int fd, const QByteArray &bytes, int *err)
{
    const char *p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = systemCalls().write(fd, p, size_t(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *err = errno;
            return false;
        }
        if (n == 0) {
            *err = ENOSPC;
            return false;
        }
        p += n;
        left -= n;
    }
    return true;
}

// The temporary file name of a save of `fileName`, as mkostemp makes it: ".<name>.XXXXXX".
bool isTemporaryOf(const QString &candidate, const QString &fileName)
{
    const QString prefix = QLatin1String(".") + fileName + QLatin1String(".");
    return candidate.size() == prefix.size() + 6 && candidate.startsWith(prefix);
}

// Removes the old temporary files of `fileName` that no save is writing: a save holds a lock on its
// temporary file from its creation until it closes it, just before the rename, so a locked one
// belongs to a save still running, however slow, and stays.
void removeStaleTemporaries(const QString &folder, const QString &fileName)
{
    const QDateTime staleBefore = QDateTime::currentDateTimeUtc().addSecs(-kStaleTemporarySeconds);
    const QFileInfoList entries = QDir(folder).entryInfoList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QFileInfo &entry : entries) {
        if (!isTemporaryOf(entry.fileName(), fileName) || entry.lastModified().toUTC() >= staleBefore)
            continue;
        const QByteArray native = QFile::encodeName(entry.filePath());
        Descriptor fd(::open(native.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (fd.get() < 0 || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
            continue;
        ::unlink(native.constData());
    }
}

// What kind of file `mode` is, for a text that says why it is not read.
QString kindOf(mode_t mode)
{
    if (S_ISFIFO(mode))
        return QStringLiteral("a named pipe");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("a device");
    if (S_ISSOCK(mode))
        return QStringLiteral("a socket");
    return QStringLiteral("not a regular file");
}

// A file `mode` names that is not one a store can be: the text of the refusal, or empty.
QString refusal(const QString &path, const struct stat &st)
{
    const QString shown = QDir::toNativeSeparators(path);
    if (S_ISDIR(st.st_mode))
        return QStringLiteral("%1 could not be read (%2)").arg(shown, reason(EISDIR));
    if (!S_ISREG(st.st_mode))
        return QStringLiteral("%1 is %2, not a settings file").arg(shown, kindOf(st.st_mode));
    if (st.st_size > kMaxReadBytes)
        return QStringLiteral("%1 is larger than %2 KiB (%3 bytes), too large for a settings file")
            .arg(shown)
            .arg(kMaxReadBytes / 1024)
            .arg(qint64(st.st_size));
    return {};
}

// The owner of `path`, or of the nearest folder above it that exists when it does not; false when
// nothing on the way can be looked at.
bool ownerOf(const QString &path, uid_t *owner)
{
    QString at = path;
    while (true) {
        struct stat st;
        if (::stat(QFile::encodeName(at).constData(), &st) == 0) {
            *owner = st.st_uid;
            return true;
        }
        const QString up = QFileInfo(at).absolutePath();
        if (up == at)
            return false;
        at = up;
    }
}

// Run as root, a store reached through a symbolic link is read and written only when what the link
// leads to (a file, or the folder a new one would be made in) belongs to the owner of the folder the
// link lies in: anyone who may write in that folder can make the link, and a link to a system file
// would otherwise have the panel read that file into its store (and copy it beside it) and write
// over it, keeping its owner. The refusal's text, or empty: not root, no link, or the same owner.
QString foreignTarget(const QString &path, const QString &file)
{
    if (!runningAsRoot())
        return {};
    const QString given = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    if (file == given)
        return {};
    const QString folder = QFileInfo(given).absolutePath();
    uid_t folderOwner = 0, targetOwner = 0;
    if (!ownerOf(folder, &folderOwner) || !ownerOf(file, &targetOwner) || folderOwner == targetOwner)
        return {};
    return QStringLiteral("%1 is a symbolic link to %2, which belongs to another user (user id %3) than "
                          "the folder %4 (user id %5); run as root, the panel neither reads nor writes it")
        .arg(QDir::toNativeSeparators(path), QDir::toNativeSeparators(file))
        .arg(targetOwner)
        .arg(QDir::toNativeSeparators(folder))
        .arg(folderOwner);
}

ssize_t realWrite(int fd, const void *buffer, size_t count)
{
    return ::write(fd, buffer, count);
}
int realFsync(int fd)
{
    return ::fsync(fd);
}
int realRename(const char *from, const char *to)
{
    return ::rename(from, to);
}

} // namespace

SystemCalls &systemCalls()
{
    static SystemCalls calls { realWrite, realFsync, realRename };
    return calls;
}

namespace {

FileIdentity identityFrom(const struct stat &st)
{
    FileIdentity identity;
    identity.exists = true;
    identity.device = quint64(st.st_dev);
    identity.inode = quint64(st.st_ino);
    identity.size = qint64(st.st_size);
    identity.mtimeNs = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    identity.ctimeNs = qint64(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    return identity;
}

} // namespace

FileIdentity identityOf(const QString &path)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return {};
    return identityFrom(st);
}

ReadResult readAll(const QString &path, QByteArray *bytes, QString *error, FileIdentity *identity)
{
    if (identity)
        *identity = {};
    bytes->clear();
    const QByteArray native = QFile::encodeName(path);
    // Run as root, a store that is a link is read only when it leads to a file of its folder's
    // owner (see foreignTarget), and a store that is no link is opened as no link, so that a link
    // put in its place meanwhile is not followed.
    int noFollow = 0;
    QString linkTarget;
    if (runningAsRoot()) {
        struct stat st;
        QString loop;
        if (::lstat(native.constData(), &st) == 0 && S_ISLNK(st.st_mode))
            linkTarget = replacedFile(path, &loop);
        else
            noFollow = O_NOFOLLOW;
        if (const QString refused = linkTarget.isEmpty() ? QString() : foreignTarget(path, linkTarget);
            !refused.isEmpty()) {
            *error = refused;
            return ReadResult::Failed;
        }
    }
    // Not blocking: opening a named pipe for reading would otherwise wait for a writer.
    Descriptor fd(::open(native.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | noFollow));
    if (fd.get() < 0) {
        if (errno == ENOENT)
            return ReadResult::Missing;
        *error
            = QStringLiteral("%1 could not be read (%2)").arg(QDir::toNativeSeparators(path), reason(errno));
        return ReadResult::Failed;
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) {
        *error
            = QStringLiteral("%1 could not be read (%2)").arg(QDir::toNativeSeparators(path), reason(errno));
        return ReadResult::Failed;
    }
    if (identity)
        *identity = identityFrom(st);
    if (!linkTarget.isEmpty()) {
        // The file opened, whatever the link says now, must still be its folder owner's.
        uid_t folderOwner = st.st_uid;
        if (ownerOf(
                QFileInfo(QDir::cleanPath(QFileInfo(path).absoluteFilePath())).absolutePath(), &folderOwner)
            && folderOwner != st.st_uid) {
            *error
                = QStringLiteral("%1 is a symbolic link to a file of another user (user id %2) than its "
                                 "folder's (user id %3); run as root, the panel neither reads nor writes it")
                      .arg(QDir::toNativeSeparators(path))
                      .arg(st.st_uid)
                      .arg(folderOwner);
            return ReadResult::Failed;
        }
    }
    if (const QString refused = refusal(path, st); !refused.isEmpty()) {
        *error = refused;
        return ReadResult::Failed;
    }
    char buffer[16384];
    while (true) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *error = QStringLiteral("%1 could not be read (%2)")
                         .arg(QDir::toNativeSeparators(path), reason(errno));
            bytes->clear();
            return ReadResult::Failed;
        }
        if (n == 0)
            return ReadResult::Read;
        bytes->append(buffer, n);
        if (bytes->size() > kMaxReadBytes) { // grown since it was looked at
            st.st_size = bytes->size();
            *error = refusal(path, st);
            bytes->clear();
            return ReadResult::Failed;
        }
    }
}

QString replacedFile(const QString &path, QString *error)
{
    QString file = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    for (int hops = 0; hops < 40; ++hops) {
        const QByteArray native = QFile::encodeName(file);
        struct stat st;
        if (::lstat(native.constData(), &st) != 0 || !S_ISLNK(st.st_mode))
            return file;
        char target[PATH_MAX];
        const ssize_t n = ::readlink(native.constData(), target, sizeof target);
        if (n < 0 || n >= ssize_t(sizeof target))
            return file;
        const QString next = QFile::decodeName(QByteArray(target, int(n)));
        file = QDir::cleanPath(
            QDir::isAbsolutePath(next) ? next : QFileInfo(file).absolutePath() + u'/' + next);
    }
    *error
        = QStringLiteral("%1 could not be replaced (%2)").arg(QDir::toNativeSeparators(path), reason(ELOOP));
    return {};
}

bool replace(const QString &path, const QByteArray &bytes, QString *error)
{
    return replaceUnlessChanged(path, bytes, {}, error) == ReplaceResult::Replaced;
}

ReplaceResult replaceUnlessChanged(
    const QString &path, const QByteArray &bytes, const std::function<bool()> &unchanged, QString *error)
{
    // A store reached through a symbolic link (kept in a folder of the operator's choice) is
    // replaced where it lies, so that the link goes on leading to it. A store with a second hard
    // link cannot be kept so: the rename that makes a save all or nothing gives the name a new
    // file, and the other name keeps the old one. Writing into the file in place would keep the
    // link and lose the all or nothing, which matters more.
    const QString file = replacedFile(path, error);
    if (file.isEmpty())
        return ReplaceResult::Failed;
    if (const QString refused = foreignTarget(path, file); !refused.isEmpty()) {
        *error = refused;
        return ReplaceResult::Failed;
    }
    const QFileInfo info(file);
    const QString folder = info.absolutePath();
    if (!makeFolders(folder, error))
        return ReplaceResult::Failed;

    const QString shown = QDir::toNativeSeparators(path);
    QByteArray temp
        = QFile::encodeName(folder + QLatin1String("/.") + info.fileName() + QLatin1String(".XXXXXX"));
    Descriptor fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (fd.get() < 0) {
        *error = QStringLiteral("no new file could be made in the folder %1 (%2)")
                     .arg(QDir::toNativeSeparators(folder), reason(errno));
        return ReplaceResult::Failed;
    }
    auto fail = [&](const QString &what, int err) {
        *error = what.arg(shown, reason(err));
        fd.close();
        ::unlink(temp.constData());
        return ReplaceResult::Failed;
    };

    // Held until the temporary file is closed: the stale-temporary cleaning of other saves leaves it.
    ::flock(fd.get(), LOCK_EX);

    // Keep the permissions of the file being replaced; a new file is readable by its owner only.
    // As root, keep its owner and group too (a new file takes its folder's): a store saved once by
    // the panel run as root must stay the operator's.
    struct stat old;
    const QByteArray target = QFile::encodeName(file);
    const bool exists = ::stat(target.constData(), &old) == 0;
    if (exists && !S_ISREG(old.st_mode)) {
        *error = refusal(file, old);
        fd.close();
        ::unlink(temp.constData());
        return ReplaceResult::Failed;
    }
    if (runningAsRoot()) {
        struct stat owner;
        if (exists)
            owner = old;
        else if (::stat(QFile::encodeName(folder).constData(), &owner) != 0)
            owner.st_uid = owner.st_gid = 0;
        if (::fchown(fd.get(), owner.st_uid, owner.st_gid) != 0)
            return fail(QStringLiteral("the owner of %1 could not be kept (%2)"), errno);
    }
    if (exists)
        ::fchmod(fd.get(), old.st_mode & 07777);

    int err = 0;
    if (!writeAll(fd.get(), bytes, &err))
        return fail(QStringLiteral("writing %1 failed (%2)"), err);
    if (systemCalls().fsync(fd.get()) != 0)
        return fail(QStringLiteral("%1 could not be flushed to disk (%2)"), errno);
    if (fd.close() != 0)
        return fail(QStringLiteral("writing %1 failed (%2)"), errno);
    if (unchanged && !unchanged()) {
        ::unlink(temp.constData());
        return ReplaceResult::Changed;
    }
    if (systemCalls().rename(temp.constData(), target.constData()) != 0)
        return fail(QStringLiteral("%1 could not be replaced (%2)"), errno);
    removeStaleTemporaries(folder, info.fileName());

    // The rename itself is durable only once the folder is on disk too.
    Descriptor dir(::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0 && systemCalls().fsync(dir.get()) != 0 && errno != EINVAL) {
        *error = QStringLiteral("the folder %1 could not be flushed to disk (%2)")
                     .arg(QDir::toNativeSeparators(folder), reason(errno));
        return ReplaceResult::Failed;
    }
    return ReplaceResult::Replaced;
}

} // namespace durable_file
