#include "settings/store.h"

#include "settings/durable_file.h"
#include "settings/ini_document.h"
#include "settings/record.h"
#include "settings/table.h"

#include <QDir>
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
    QByteArray bytes;
    QString error;
    const durable_file::ReadResult read = durable_file::readAll(path, &bytes, &error);
    const IniDocument doc = IniDocument::parse(bytes);

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

    if (read == durable_file::ReadResult::Failed) {
        emit loadProblem(QStringLiteral("The settings could not be loaded: %1. The built-in defaults are "
                                        "used.")
                             .arg(error));
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

bool SettingsStore::save(const SettingsRecord &record)
{
    const QString path = filePath();
    IniDocument doc;
    if (!readForRewrite(path, doc))
        return false;

    const auto &keys = settings_table::keys();
    IniDocument::Entries entries;
    entries.reserve(qsizetype(keys.size()));
    for (int i = 0; i < int(keys.size()); ++i)
        entries.append(
            qMakePair(QString::fromLatin1(keys[size_t(i)].name), settings_table::fieldText(record, i)));
    doc.replaceKeys(kRecordGroup, entries);

    QString error;
    const bool ok = durable_file::replace(path, doc.toBytes(), &error);
    noteSaveResult(ok, error);
    return ok;
}

QString SettingsStore::groupValue(const QString &group, const QString &key, const QString &fallback) const
{
    QByteArray bytes;
    QString error;
    if (durable_file::readAll(filePath(), &bytes, &error) != durable_file::ReadResult::Read)
        return fallback;
    return IniDocument::parse(bytes).value(group, key, fallback);
}

bool SettingsStore::addMissingGroupKeys(
    const QString &group, const QList<QPair<QString, QString>> &keysAndValues)
{
    const QString path = filePath();
    IniDocument doc;
    if (!readForRewrite(path, doc))
        return false;
    IniDocument::Entries missing;
    for (const auto &entry : keysAndValues) {
        if (!doc.contains(group, entry.first))
            missing.append(entry);
    }
    if (missing.isEmpty())
        return true;
    doc.appendKeys(group, missing);
    QString error;
    const bool ok = durable_file::replace(path, doc.toBytes(), &error);
    noteSaveResult(ok, error);
    return ok;
}

bool SettingsStore::readForRewrite(const QString &path, IniDocument &doc)
{
    QByteArray bytes;
    QString error;
    if (durable_file::readAll(path, &bytes, &error) == durable_file::ReadResult::Failed) {
        // Writing now would throw away the other groups of a file we cannot see.
        noteSaveResult(false, error);
        return false;
    }
    doc = IniDocument::parse(bytes);
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
