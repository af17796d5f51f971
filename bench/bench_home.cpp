#include "bench/bench_home.h"

#include <QDir>
#include <QFile>

#include <sys/vfs.h>

QString benchFolder()
{
    const QString fromEnv = qEnvironmentVariable("PANEL_BENCH_DIR");
    return fromEnv.isEmpty() ? QDir::tempPath() : fromEnv;
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
