#pragma once

#include <QByteArray>
#include <QString>

// valtrona.prom in the folder a node exporter's textfile collector reads. The collector may read
// the file at any moment, so it is never written in place: the new text goes to a hidden temporary
// file in the same folder (a name the collector does not read), every write checked and the file
// synced, and is then renamed over the old one. A reader sees the old file or the new one whole;
// a write that fails (no folder, no permission, a full disk) leaves the old file as it was.
class PromFile
{
public:
    static constexpr const char *kFileName = "valtrona.prom";

    explicit PromFile(const QString &directory);

    QString directory() const { return m_directory; }
    QString path() const;

    // Replaces the file with `text`. False, with a text for the operator in `error`, when it could
    // not; the folder is never created (it is the collector's).
    bool write(const QByteArray &text, QString *error);

    // Removes temporary files that a writer killed between writing and renaming left behind.
    void removeLeftovers() const;

private:
    QString m_directory;
};
