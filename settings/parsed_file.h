#pragma once

#include "settings/durable_file.h"
#include "settings/ini_document.h"

#include <QByteArray>
#include <QString>

// The store file parsed once. Every reader of the store (a load, a save, the port map, the groups
// of the metrics and the notifications) asks here, many times a second at worst, and the file
// is read again only when it is no longer the file read (its identity changed: another file under
// the name, another size, another modification or change time), and parsed again only when the
// bytes read differ from those parsed.
//
// A file changed within the same tick of the system's clock as it was read keeps its times, and
// some file systems keep whole seconds only. So the identity vouches for the bytes read only once
// the read came kSettleNs or more after the file's last change; until then every look reads the
// file again (a few kilobytes, compared, not parsed).
class ParsedFile
{
public:
    static constexpr qint64 kSettleNs = 2'000'000'000;

    // One version of the file's content. `generation` changes whenever the content does.
    struct Version {
        durable_file::ReadResult result = durable_file::ReadResult::Missing;
        QString error; // why it could not be read, for Failed
        QByteArray bytes; // as read, for Read
        IniDocument doc; // `bytes` parsed (empty unless Read)
        quint64 generation = 0;
    };

    // How often the file was looked at (a stat at least), read and parsed.
    struct Statistics {
        quint64 looks = 0;
        quint64 reads = 0;
        quint64 parses = 0;
    };

    // The file at `path` as it stands now.
    const Version &current(const QString &path);

    // Takes `bytes`, written from `doc`, as what the file at `path` holds now: it has just been
    // replaced by them. The next look reads the file once to see that it still holds them.
    void replaced(const QString &path, const QByteArray &bytes, IniDocument doc);

    // Says that the file at `path` was, just after this process replaced and synced it, the file of
    // `identity`. As long as the last look found that very file, heldAsMadeDurable() is true: what
    // the file holds is what this process wrote and synced, and nothing has written to it since
    // (a write, a truncation, a chmod or a rename onto the name would each change its identity).
    void madeDurable(const durable_file::FileIdentity &identity);
    bool heldAsMadeDurable() const;

    const Statistics &statistics() const { return m_statistics; }

private:
    bool vouches(const durable_file::FileIdentity &now) const;

    QString m_path;
    bool m_read = false; // m_version is a read of m_path
    durable_file::FileIdentity m_identity; // of the file m_version was read from
    bool m_identityKnown = false;
    qint64 m_readAtNs = 0; // the clock just before that read
    Version m_version;
    durable_file::FileIdentity m_durable; // of the file this process last replaced and synced
    bool m_durableKnown = false;
    Statistics m_statistics;
};
