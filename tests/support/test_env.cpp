#include "support/test_env.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QUrl>
#include <QtGlobal>

namespace {

// The temporary folder's template. QDir::tempPath() is empty when TMPDIR names no folder, and the
// folder would then be made at the root of the file system: stopped before.
QString temporaryPattern(const QString &base)
{
    const QString folder = base.isEmpty() ? QDir::tempPath() : base;
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        qFatal("TestStoreHome: no temporary folder could be made (\"%s\" is no folder)", qPrintable(folder));
    return folder + QStringLiteral("/valtrona-store.XXXXXX");
}

} // namespace

TestStoreHome::TestStoreHome(const QString &base)
    : m_dir(temporaryPattern(base))
    , m_oldXdg(qgetenv("XDG_CONFIG_HOME"))
    , m_oldDataXdg(qgetenv("XDG_DATA_HOME"))
    , m_oldHome(qgetenv("HOME"))
{
    // Stopped here in every build: without its folder a test would read and write the store of
    // whatever "/config" or "./config" holds.
    if (!m_dir.isValid())
        qFatal("TestStoreHome: no temporary folder could be made (%s)", qPrintable(m_dir.errorString()));
    if (!QDir(m_dir.path()).mkpath("config") || !QDir(m_dir.path()).mkpath("data")
        || !QDir(m_dir.path()).mkpath("home"))
        qFatal("TestStoreHome: the folders config, data and home could not be made in %s",
            qPrintable(m_dir.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome()));
    qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome()));
    qputenv("HOME", QFile::encodeName(homeFolder()));
}

TestStoreHome::~TestStoreHome()
{
    qputenv("XDG_CONFIG_HOME", m_oldXdg);
    if (m_oldDataXdg.isNull())
        qunsetenv("XDG_DATA_HOME");
    else
        qputenv("XDG_DATA_HOME", m_oldDataXdg);
    qputenv("HOME", m_oldHome);
}

QString TestStoreHome::configHome() const
{
    return m_dir.path() + "/config";
}

QString TestStoreHome::dataHome() const
{
    return m_dir.path() + "/data";
}

QString TestStoreHome::homeFolder() const
{
    return m_dir.path() + "/home";
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
