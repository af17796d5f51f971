#include "settings/parsed_file.h"

#include <ctime>

namespace {

qint64 realTimeNs()
{
    struct timespec now {
    };
    ::clock_gettime(CLOCK_REALTIME, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

} // namespace

bool ParsedFile::vouches(const durable_file::FileIdentity &now) const
{
    if (!m_identityKnown || now != m_identity)
        return false;
    // No file then and none now; a file appearing would have an identity.
    if (!now.exists)
        return true;
    // The change time only moves forward with the clock (the modification time may be set back by
    // hand, the change time not): a change after the read would show in it, once it lies a
    // clock tick (or a whole second, on some file systems) behind the read.
    return m_readAtNs - now.ctimeNs >= kSettleNs;
}

const ParsedFile::Version &ParsedFile::current(const QString &path)
{
    ++m_statistics.looks;
    // A file that could not be read is tried again at every look: the reasons (a mode, a folder's
    // mode, a pipe) do not all show in the identity.
    if (m_read && path == m_path && m_version.result != durable_file::ReadResult::Failed
        && vouches(durable_file::identityOf(path))) {
        return m_version;
    }

    QByteArray bytes;
    QString error;
    durable_file::FileIdentity identity;
    const qint64 readAt = realTimeNs();
    const durable_file::ReadResult result = durable_file::readAll(path, &bytes, &error, &identity);
    ++m_statistics.reads;
    const bool same
        = m_read && result == m_version.result && bytes == m_version.bytes && error == m_version.error;
    m_path = path;
    m_read = true;
    m_identity = identity;
    m_identityKnown = true;
    m_readAtNs = readAt;
    if (same)
        return m_version;

    ++m_statistics.parses;
    m_version.doc = IniDocument::parse(result == durable_file::ReadResult::Read ? bytes : QByteArray());
    m_version.result = result;
    m_version.error = error;
    m_version.bytes = bytes;
    ++m_version.generation;
    return m_version;
}

void ParsedFile::replaced(const QString &path, const QByteArray &bytes, IniDocument doc)
{
    // A document with lines it could not read left them out of `bytes`, and still says it was
    // damaged: what the file holds now is known only by parsing it. A clean one is what its bytes
    // parse to (the settings fuzzer checks that a load of a save gives what was saved).
    if (doc.isDamaged()) {
        ++m_statistics.parses;
        doc = IniDocument::parse(bytes);
    }
    m_path = path;
    m_read = true;
    m_identityKnown = false;
    m_version.result = durable_file::ReadResult::Read;
    m_version.error.clear();
    m_version.bytes = bytes;
    m_version.doc = std::move(doc);
    ++m_version.generation;
}

void ParsedFile::madeDurable(const durable_file::FileIdentity &identity)
{
    m_durable = identity;
    m_durableKnown = identity.exists;
}

bool ParsedFile::heldAsMadeDurable() const
{
    return m_durableKnown && m_identityKnown && m_identity == m_durable
        && m_version.result == durable_file::ReadResult::Read;
}
