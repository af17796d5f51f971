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
    QByteArray bytes;
    QString error;
    const durable_file::ReadResult read = durable_file::readAll(path, &bytes, &error);
    const IniDocument doc = IniDocument::parse(bytes);
    readRecord(doc, record);

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
    const QString path = filePath();
    IniDocument doc;
    if (!readForRewrite(path, doc))
        return false;
    writeRecord(doc, record);

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

bool SettingsStore::setGroupKeys(const QString &group, const QList<QPair<QString, QString>> &keysAndValues)
{
    const QString path = filePath();
    IniDocument doc;
    if (!readForRewrite(path, doc))
        return false;
    doc.replaceKeys(group, keysAndValues);
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
    return !doc.isDamaged() || setAsideDamaged(path, bytes, doc.firstDamagedLine());
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
