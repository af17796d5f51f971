#include "settings/store.h"

#include "settings/durable_file.h"
#include "settings/ini_document.h"
#include "settings/record.h"
#include "settings/table.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace {

const QString kRecordGroup = QStringLiteral("ValtronaAmp+");

QString shown(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

} // namespace

SettingsStore &SettingsStore::instance()
{
    static SettingsStore store;
    return store;
}

QString SettingsStore::filePath() const
{
    // The same place QSettings(IniFormat, UserScope, "ZTK Electronics", "ValtronaAmp+") uses, but
    // taken from the environment at each call: QSettings keeps the first answer for the process.
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QLatin1String("/ZTK Electronics/ValtronaAmp+.ini");
}

bool SettingsStore::load(SettingsRecord &record)
{
    const QString path = filePath();
    const ParsedFile::Version &file = m_file.current(path);
    const IniDocument &doc = file.doc;
    readRecord(doc, record);

    if (file.result == durable_file::ReadResult::Failed) {
        emit loadProblem(QStringLiteral("The settings could not be loaded: %1. The built-in defaults are "
                                        "used.")
                             .arg(file.error));
        return false;
    }
    if (doc.isDamaged()) {
        emit loadProblem(QStringLiteral("The settings file %1 is damaged from line %2 on. The settings "
                                        "that could be read are used, the built-in defaults for the rest.")
                             .arg(shown(path))
                             .arg(doc.firstDamagedLine()));
        return false;
    }
    return true;
}

void SettingsStore::readRecord(const IniDocument &doc, SettingsRecord &record)
{
    const auto &keys = settings_table::keys();
    for (int i = 0; i < int(keys.size()); ++i) {
        const settings_table::Key &key = keys[size_t(i)];
        const QString name = QString::fromLatin1(key.name);
        QString text = key.defaultText;
        if (doc.contains(kRecordGroup, name))
            text = doc.value(kRecordGroup, name);
        else if (key.legacyReadKey && doc.contains(kRecordGroup, QString::fromLatin1(key.legacyReadKey)))
            text = doc.value(kRecordGroup, QString::fromLatin1(key.legacyReadKey));
        settings_table::setFieldFromText(record, i, text);
    }
}

void SettingsStore::writeRecord(IniDocument &doc, const SettingsRecord &record)
{
    const auto &keys = settings_table::keys();
    IniDocument::Entries entries;
    entries.reserve(qsizetype(keys.size()));
    for (int i = 0; i < int(keys.size()); ++i)
        entries.append(
            qMakePair(QString::fromLatin1(keys[size_t(i)].name), settings_table::fieldText(record, i)));
    doc.replaceKeys(kRecordGroup, entries);
}

bool SettingsStore::save(const SettingsRecord &record)
{
    return rewrite([&record](IniDocument &doc) {
        writeRecord(doc, record);
        return true;
    });
}

QString SettingsStore::groupValue(const QString &group, const QString &key, const QString &fallback) const
{
    const ParsedFile::Version &file = m_file.current(filePath());
    if (file.result != durable_file::ReadResult::Read)
        return fallback;
    return file.doc.value(group, key, fallback);
}

bool SettingsStore::addMissingGroupKeys(
    const QString &group, const QList<QPair<QString, QString>> &keysAndValues)
{
    return rewrite([&](IniDocument &doc) {
        IniDocument::Entries missing;
        for (const auto &entry : keysAndValues) {
            if (!doc.contains(group, entry.first))
                missing.append(entry);
        }
        if (missing.isEmpty())
            return false;
        doc.appendKeys(group, missing);
        return true;
    });
}

bool SettingsStore::setGroupKeys(const QString &group, const QList<QPair<QString, QString>> &keysAndValues)
{
    return rewrite([&](IniDocument &doc) {
        doc.replaceKeys(group, keysAndValues);
        return true;
    });
}

bool SettingsStore::rewrite(const std::function<bool(IniDocument &)> &change)
{
    const QString path = filePath();
    for (int attempt = 1; attempt <= kSaveAttempts; ++attempt) {
        const ParsedFile::Version &base = m_file.current(path);
        if (!rewritable(path, base))
            return false;
        const quint64 generation = base.generation;
        IniDocument doc = base.doc;
        if (!change(doc))
            return true;
        const QByteArray bytes = doc.toBytes();
        // Nothing to write when the file holds these very bytes and is still the file this store's
        // own last save replaced and synced (file and folder), untouched since. Writing and syncing
        // it again would change nothing on the disk; the window's start alone runs a dozen such
        // saves, each two flushes. The first save of a process always writes: a file it did not
        // write itself may never have been synced.
        if (bytes == base.bytes && m_file.heldAsMadeDurable()) {
            noteSaveResult(true, QString());
            return true;
        }

        // The file may have been edited by hand since it was read, long ago perhaps: it is looked
        // at again once the new file is ready, and a change found there starts the save again from
        // the edited file, so that the edit is kept and this save's keys go over it.
        auto unchanged = [&] {
            if (m_beforeRenameCheck)
                m_beforeRenameCheck();
            return m_file.current(path).generation == generation;
        };
        QString error;
        const durable_file::ReplaceResult result
            = durable_file::replaceUnlessChanged(path, bytes, unchanged, &error);
        if (result == durable_file::ReplaceResult::Changed)
            continue;
        const bool ok = result == durable_file::ReplaceResult::Replaced;
        if (ok) {
            m_file.replaced(path, bytes, std::move(doc));
            m_file.madeDurable(durable_file::identityOf(path));
        }
        noteSaveResult(ok, error);
        return ok;
    }
    noteSaveResult(false,
        QStringLiteral("%1 changed each of the %2 times it was about to be replaced, so it was left as it is")
            .arg(shown(path))
            .arg(kSaveAttempts));
    return false;
}

bool SettingsStore::rewritable(const QString &path, const ParsedFile::Version &version)
{
    if (version.result == durable_file::ReadResult::Failed) {
        // Writing now would throw away the other groups of a file we cannot see.
        noteSaveResult(false, version.error);
        return false;
    }
    return !version.doc.isDamaged() || setAsideDamaged(path, version.bytes, version.doc.firstDamagedLine());
}

bool SettingsStore::setAsideDamaged(const QString &path, const QByteArray &bytes, int firstDamagedLine)
{
    // A save of a file with lines it cannot read leaves them out. A hand edit may have meant them,
    // so the file as it was is kept beside the store first, once for each damaged content.
    const QByteArray digest = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
    if (digest == m_setAsideDigest && QFile::exists(m_setAsidePath))
        return true;
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd-HHmmss"));
    QString copy = path + QStringLiteral(".damaged-") + stamp;
    for (int n = 2; QFileInfo::exists(copy) || QFileInfo(copy).isSymLink(); ++n)
        copy = path + QStringLiteral(".damaged-%1-%2").arg(stamp).arg(n);
    QString error;
    if (!durable_file::replace(copy, bytes, &error)) {
        // Dropping the lines without a copy would lose them for good: no save until it can be made.
        noteSaveResult(false,
            QStringLiteral("the settings file %1 has lines that cannot be read, and no copy of it could be "
                           "kept before leaving them out: %2")
                .arg(shown(path), error));
        return false;
    }
    m_setAsideDigest = digest;
    m_setAsidePath = copy;
    emit loadProblem(QStringLiteral("The settings file %1 has lines from line %2 on that cannot be read; "
                                    "this save leaves them out. The file as it was is kept as %3.")
                         .arg(shown(path))
                         .arg(firstDamagedLine)
                         .arg(shown(copy)));
    return true;
}

void SettingsStore::noteSaveResult(bool ok, const QString &error)
{
    if (ok) {
        m_lastError.clear();
        if (m_failing) {
            m_failing = false;
            emit saveRecovered();
        }
        return;
    }
    m_lastError = QStringLiteral("The settings could not be saved: %1. They are kept in memory and saved "
                                 "again at the next change.")
                      .arg(error);
    if (!m_failing) {
        m_failing = true;
        emit saveFailed(m_lastError);
    }
}

bool LoadSettings()
{
    return SettingsStore::instance().load(settingsRecord());
}

bool SaveSettings()
{
    return SettingsStore::instance().save(settingsRecord());
}
