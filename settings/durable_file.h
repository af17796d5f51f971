#pragma once

#include <QByteArray>
#include <QString>

// Whole-file reads and crash-safe whole-file replacement for the store. Errors come back as texts
// an operator can act on: what could not be done, to which path, and the system's reason.
namespace durable_file {

enum class ReadResult { Read, Missing, Failed };

// Reads the whole file. Missing when it does not exist (nor its folder).
ReadResult readAll(const QString &path, QByteArray *bytes, QString *error);

// Replaces `path` with `bytes`: creates the folder if needed, writes a temporary file beside it
// checking every write, fsyncs it, renames it over `path` and fsyncs the folder. On failure the
// old file is untouched, the temporary file is removed, and false is returned. After a replace that
// went through, temporary files of `path` older than kStaleTemporarySeconds are removed: a save
// killed before its rename leaves its temporary file behind, and no running save is that slow.
constexpr int kStaleTemporarySeconds = 60;
bool replace(const QString &path, const QByteArray &bytes, QString *error);

} // namespace durable_file
