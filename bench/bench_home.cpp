#include "bench/bench_home.h"

#include <QDir>
#include <QFile>

#include <sys/vfs.h>

namespace {

QString baseFolder(const QString &base)
{
    if (!base.isEmpty())
        return base;
    const QString fromEnv = qEnvironmentVariable("PANEL_BENCH_DIR");
    return fromEnv.isEmpty() ? QDir::tempPath() : fromEnv;
}

} // namespace

BenchHome::BenchHome(const QString &base)
    : m_dir(baseFolder(base) + QLatin1String("/valtrona-bench.XXXXXX"))
    , m_oldXdg(qgetenv("XDG_CONFIG_HOME"))
    , m_oldHome(qgetenv("HOME"))
{
    if (!m_dir.isValid())
        return;
    QDir(m_dir.path()).mkpath(QStringLiteral("config"));
    QDir(m_dir.path()).mkpath(QStringLiteral("home"));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome()));
    qputenv("HOME", QFile::encodeName(m_dir.path() + QLatin1String("/home")));
}

BenchHome::~BenchHome()
{
    qputenv("XDG_CONFIG_HOME", m_oldXdg);
    qputenv("HOME", m_oldHome);
}

QString BenchHome::storeFile() const
{
    return configHome() + QLatin1String("/ZTK Electronics/ValtronaAmp+.ini");
}

bool BenchHome::writeStore(const QByteArray &bytes) const
{
    QDir().mkpath(configHome() + QLatin1String("/ZTK Electronics"));
    QFile f(storeFile());
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size() && f.flush();
}

QString fileSystemOf(const QString &path)
{
    struct statfs st {
    };
    if (::statfs(QFile::encodeName(path).constData(), &st) != 0)
        return QStringLiteral("unknown");
    switch (static_cast<unsigned long>(st.f_type)) {
    case 0xEF53UL:
        return QStringLiteral("ext4");
    case 0x01021994UL:
        return QStringLiteral("tmpfs");
    case 0x9123683EUL:
        return QStringLiteral("btrfs");
    case 0x58465342UL:
        return QStringLiteral("xfs");
    case 0x794C7630UL:
        return QStringLiteral("overlayfs");
    case 0x2FC12FC1UL:
        return QStringLiteral("zfs");
    default:
        return QStringLiteral("0x%1").arg(static_cast<unsigned long>(st.f_type), 0, 16);
    }
}
