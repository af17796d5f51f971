#include "support/test_env.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QUrl>
#include <QtGlobal>

namespace {

QString temporaryPattern(const QString &base)
{
    return base.isEmpty() ? QString() : base + QStringLiteral("/valtrona-store.XXXXXX");
}

} // namespace

TestStoreHome::TestStoreHome(const QString &base)
    : m_dir(temporaryPattern(base))
    , m_oldXdg(qgetenv("XDG_CONFIG_HOME"))
    , m_oldHome(qgetenv("HOME"))
{
    if (m_dir.isValid()) {
        QDir(m_dir.path()).mkpath("config");
        QDir(m_dir.path()).mkpath("home");
    }
    // Without a folder of its own the store points where nothing can be written, not at the user's.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome()));
    qputenv("HOME", QFile::encodeName(homeFolder()));
}

TestStoreHome::~TestStoreHome()
{
    qputenv("XDG_CONFIG_HOME", m_oldXdg);
    qputenv("HOME", m_oldHome);
}

QString TestStoreHome::configHome() const
{
    return m_dir.isValid() ? m_dir.path() + "/config" : QStringLiteral("/nonexistent/valtrona-store/config");
}

QString TestStoreHome::homeFolder() const
{
    return m_dir.isValid() ? m_dir.path() + "/home" : QStringLiteral("/nonexistent/valtrona-store/home");
}

QString TestStoreHome::storeFile() const
{
    return configHome() + "/ZTK Electronics/ValtronaAmp+.ini";
}

void TestStoreHome::removeStore()
{
    QDir folder(configHome() + "/ZTK Electronics");
    folder.removeRecursively();
}

QByteArray TestStoreHome::storeBytes() const
{
    QFile f(storeFile());
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

bool TestStoreHome::writeStore(const QByteArray &bytes) const
{
    QDir().mkpath(configHome() + "/ZTK Electronics");
    QFile f(storeFile());
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size() && f.flush();
}

bool TestStoreHome::replaceStore(const QByteArray &bytes)
{
    removeStore();
    return writeStore(bytes);
}

QMap<QString, QString> TestStoreHome::storedRecord() const
{
    QTemporaryDir dir;
    const QString copy = dir.filePath("copy.ini");
    if (!QFile::copy(storeFile(), copy))
        return {};
    QSettings settings(copy, QSettings::IniFormat);
    settings.beginGroup("ValtronaAmp+");
    QMap<QString, QString> values;
    for (const QString &key : settings.childKeys())
        values.insert(key, settings.value(key).toString());
    return values;
}

QByteArray TestStoreHome::storedText(const QByteArray &key, int *keyCount) const
{
    QByteArray value;
    bool inRecord = false;
    int keys = 0;
    for (QByteArray line : storeBytes().split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.startsWith('[')) {
            inRecord = QUrl::fromPercentEncoding(line.mid(1, line.size() - 2)) == "ValtronaAmp+";
            continue;
        }
        const qsizetype eq = line.indexOf('=');
        if (!inRecord || eq <= 0)
            continue;
        ++keys;
        if (line.left(eq).trimmed() == key)
            value = line.mid(eq + 1).trimmed();
    }
    if (keyCount)
        *keyCount = keys;
    return value;
}

QByteArray storeText(const QString &com1, const QByteArray &record)
{
    return "[Ports]\nCOM1=" + com1.toUtf8() + "\n\n[ValtronaAmp%2B]\n" + record;
}
