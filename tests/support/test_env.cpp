#include "support/test_env.h"

#include <QDir>
#include <QFile>
#include <QtGlobal>

TestStoreHome::TestStoreHome()
    : m_oldXdg(qgetenv("XDG_CONFIG_HOME"))
    , m_oldDataXdg(qgetenv("XDG_DATA_HOME"))
    , m_oldHome(qgetenv("HOME"))
{
    Q_ASSERT(m_dir.isValid());
    QDir(m_dir.path()).mkpath("config");
    QDir(m_dir.path()).mkpath("data");
    QDir(m_dir.path()).mkpath("home");
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
