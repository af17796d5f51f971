#include "metrics/prom_file.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Hidden and not ending in ".prom": the textfile collector reads "*.prom" files only.
const QString kTemporaryPrefix = QStringLiteral(".valtrona.prom.");
constexpr int kLeftoverSeconds = 60;

QString reason(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

bool writeAll(int fd, const QByteArray &bytes)
{
    const char *p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        p += n;
        left -= n;
    }
    return true;
}

} // namespace

PromFile::PromFile(const QString &directory)
    : m_directory(QDir::cleanPath(QFileInfo(directory).absoluteFilePath()))
{
}

QString PromFile::path() const
{
    return QDir(m_directory).filePath(QLatin1String(kFileName));
}

bool PromFile::write(const QByteArray &text, QString *error)
{
    const QString target = path();
    const auto fail = [&](const QString &what, int err) {
        *error = QStringLiteral("%1: %2").arg(what, reason(err));
        return false;
    };

    QByteArray temporary
        = QFile::encodeName(QDir(m_directory).filePath(kTemporaryPrefix + QStringLiteral("XXXXXX")));
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        const int err = errno;
        struct stat st;
        if (::stat(QFile::encodeName(m_directory).constData(), &st) != 0)
            return fail(QStringLiteral("The metrics folder %1 cannot be used").arg(m_directory), errno);
        if (!S_ISDIR(st.st_mode))
            return fail(QStringLiteral("The metrics folder %1 cannot be used").arg(m_directory), ENOTDIR);
        return fail(QStringLiteral("No file can be made in the metrics folder %1").arg(m_directory), err);
    }
    // The exporter usually runs as another user: the file is for everyone to read.
    bool ok = ::fchmod(fd, 0644) == 0 && writeAll(fd, text) && ::fdatasync(fd) == 0;
    int err = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && ::rename(temporary.constData(), QFile::encodeName(target).constData()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        ::unlink(temporary.constData());
        return fail(QStringLiteral("%1 could not be written").arg(target), err);
    }
    return true;
}

void PromFile::removeLeftovers() const
{
    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-kLeftoverSeconds);
    const QFileInfoList found = QDir(m_directory)
                                    .entryInfoList({ kTemporaryPrefix + QLatin1Char('*') },
                                        QDir::Files | QDir::Hidden | QDir::System);
    for (const QFileInfo &info : found) {
        if (info.lastModified().toUTC() < before)
            QFile::remove(info.absoluteFilePath());
    }
}
