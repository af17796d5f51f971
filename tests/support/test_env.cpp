#include "support/test_env.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtGlobal>

namespace {

// The temporary folder's template. QDir::tempPath() is empty when TMPDIR names no folder, and the
// folder would then be made at the root of the file system: stopped before.
QString checkedTemplate()
{
    const QString temp = QDir::tempPath();
    if (temp.isEmpty() || !QFileInfo(temp).isDir())
        qFatal("TestStoreHome: no temporary folder could be made (TMPDIR \"%s\" is no folder)",
            qgetenv("TMPDIR").constData());
    return temp + QStringLiteral("/panel-test-XXXXXX");
}

} // namespace

TestStoreHome::TestStoreHome()
    : m_dir(checkedTemplate())
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
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir.path() + "/config"));
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_dir.path() + "/data"));
    qputenv("HOME", QFile::encodeName(m_dir.path() + "/home"));
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

QString TestStoreHome::configHome() const { return m_dir.path() + "/config"; }

QString TestStoreHome::dataHome() const { return m_dir.path() + "/data"; }

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

void TestStoreHome::writeStore(const QByteArray &bytes) const
{
    QDir().mkpath(configHome() + "/ZTK Electronics");
    QFile f(storeFile());
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(bytes);
}
