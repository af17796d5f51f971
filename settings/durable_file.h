#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <sys/types.h>

// Whole-file reads and crash-safe whole-file replacement for the store. Errors come back as texts
// an operator can act on: what could not be done, to which path, and the system's reason.
namespace durable_file {

enum class ReadResult { Read, Missing, Failed };

// What tells one version of a file from another without reading it: the file itself (device and
// inode: a replace by rename gives the name a new one), its size, and its times to the nanosecond:
// the modification time, which an editor or a copy may set as it likes, and the change time, which
// only the system sets, at every write, rename or change of mode.
struct FileIdentity {
    bool exists = false;
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = -1;
    qint64 mtimeNs = -1;
    qint64 ctimeNs = -1;
    bool operator==(const FileIdentity &o) const
    {
        return exists == o.exists && device == o.device && inode == o.inode && size == o.size
            && mtimeNs == o.mtimeNs && ctimeNs == o.ctimeNs;
    }
    bool operator!=(const FileIdentity &o) const { return !(*this == o); }
};

// The identity of the file `path` leads to (links followed); not `exists` when there is none.
FileIdentity identityOf(const QString &path);

// The largest file read: a store holds a few kilobytes, so anything beyond is not one (a file
// grown by mistake, or a path that leads to a device that never ends).
constexpr qint64 kMaxReadBytes = 1 << 20;

// Reads the whole file. Missing when it does not exist (nor its folder). Failed, with the reason,
// when it cannot be read, is not a regular file (a named pipe would block the read for good, a
// device could deliver bytes without end) or is larger than kMaxReadBytes. `identity`, when given,
// gets the identity of the file read, taken from the open file before its first byte is read.
// Run as root, a `path` that is a symbolic link to a file of another user than the owner of the
// link's folder is not read (Failed): see replace().
ReadResult readAll(const QString &path, QByteArray *bytes, QString *error, FileIdentity *identity = nullptr);

// The file a replace of `path` writes: `path` itself, or where its chain of symbolic links ends
// (a link that leads nowhere yet ends at the path it names). Empty, with `error` set, for a loop.
QString replacedFile(const QString &path, QString *error);

// Replaces `path` with `bytes`: creates the folder if needed, writes a temporary file beside the
// file it replaces checking every write, holding a lock on it, fsyncs it, renames it over the file
// and fsyncs the folder. A symbolic link stays a link: the file it leads to is the one replaced.
// The replaced file's mode is kept, and when running as root its owner and group too (a new file
// takes its folder's), so a save run once as root never leaves a store its owner cannot write.
// Run as root, a `path` that is a symbolic link is replaced only when the file it leads to (or the
// folder a new one would be made in) belongs to the owner of the folder the link lies in: a link
// to a system file is refused, and the file left untouched.
// On failure the old file is untouched, the temporary file is removed, and false is returned.
// After a replace that went through, temporary files of the file older than
// kStaleTemporarySeconds and not locked are removed: a save killed before its rename leaves its
// temporary file behind, and a save still writing holds its lock.
constexpr int kStaleTemporarySeconds = 60;
bool replace(const QString &path, const QByteArray &bytes, QString *error);

// As replace(), with `unchanged` asked once the temporary file is on disk, just before the rename:
// when it answers false (the file was changed meanwhile by someone else), nothing is replaced, the
// temporary file is removed and Changed is returned, for the caller to start again from the file
// as it now stands.
enum class ReplaceResult { Replaced, Failed, Changed };
ReplaceResult replaceUnlessChanged(
    const QString &path, const QByteArray &bytes, const std::function<bool()> &unchanged, QString *error);

// The system calls of replace() that make it durable, in one place so that a test can put
// recording ones around them and see their order. The process's real ones unless a test says so.
struct SystemCalls {
    ssize_t (*write)(int fd, const void *buffer, size_t count);
    int (*fsync)(int fd);
    int (*rename)(const char *from, const char *to);
};
SystemCalls &systemCalls();

} // namespace durable_file
