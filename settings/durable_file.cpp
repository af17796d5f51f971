#include "settings/durable_file.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
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

// Creates `folder` and its parents; true when it exists as a folder afterwards.
bool makeFolders(const QString &folder, QString *error)
{
    const QString clean = QDir::cleanPath(folder);
    qsizetype from = 1;
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
        } else if (::mkdir(native.constData(), 0777) != 0 && errno != EEXIST) {
            *error = QStringLiteral("the folder %1 could not be created (%2)")
                         .arg(QDir::toNativeSeparators(part), reason(errno));
            return false;
        }
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
        const ssize_t n = ::write(fd, p, size_t(left));
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

void removeStaleTemporaries(const QString &folder, const QString &fileName)
{
    const QDateTime staleBefore = QDateTime::currentDateTimeUtc().addSecs(-kStaleTemporarySeconds);
    const QFileInfoList entries = QDir(folder).entryInfoList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QFileInfo &entry : entries) {
        if (isTemporaryOf(entry.fileName(), fileName) && entry.lastModified().toUTC() < staleBefore)
            QFile::remove(entry.filePath());
    }
}

} // namespace

ReadResult readAll(const QString &path, QByteArray *bytes, QString *error)
{
    bytes->clear();
    const QByteArray native = QFile::encodeName(path);
    Descriptor fd(::open(native.constData(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        if (errno == ENOENT)
            return ReadResult::Missing;
        *error
            = QStringLiteral("%1 could not be read (%2)").arg(QDir::toNativeSeparators(path), reason(errno));
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
    }
}

bool replace(const QString &path, const QByteArray &bytes, QString *error)
{
    const QFileInfo info(path);
    const QString folder = info.absolutePath();
    if (!makeFolders(folder, error))
        return false;

    const QString shown = QDir::toNativeSeparators(path);
    QByteArray temp
        = QFile::encodeName(folder + QLatin1String("/.") + info.fileName() + QLatin1String(".XXXXXX"));
    Descriptor fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (fd.get() < 0) {
        *error = QStringLiteral("no new file could be made in the folder %1 (%2)")
                     .arg(QDir::toNativeSeparators(folder), reason(errno));
        return false;
    }
    auto fail = [&](const QString &what, int err) {
        *error = what.arg(shown, reason(err));
        fd.close();
        ::unlink(temp.constData());
        return false;
    };

    // Keep the permissions of the file being replaced; a new file is readable by its owner only.
    struct stat old;
    const QByteArray target = QFile::encodeName(path);
    if (::stat(target.constData(), &old) == 0 && S_ISREG(old.st_mode))
        ::fchmod(fd.get(), old.st_mode & 07777);

    int err = 0;
    if (!writeAll(fd.get(), bytes, &err))
        return fail(QStringLiteral("writing %1 failed (%2)"), err);
    if (::fsync(fd.get()) != 0)
        return fail(QStringLiteral("%1 could not be flushed to disk (%2)"), errno);
    if (fd.close() != 0)
        return fail(QStringLiteral("writing %1 failed (%2)"), errno);
    if (::rename(temp.constData(), target.constData()) != 0)
        return fail(QStringLiteral("%1 could not be replaced (%2)"), errno);
    removeStaleTemporaries(folder, info.fileName());

    // The rename itself is durable only once the folder is on disk too.
    Descriptor dir(::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0 && ::fsync(dir.get()) != 0 && errno != EINVAL) {
        *error = QStringLiteral("the folder %1 could not be flushed to disk (%2)")
                     .arg(QDir::toNativeSeparators(folder), reason(errno));
        return false;
    }
    return true;
}

} // namespace durable_file
