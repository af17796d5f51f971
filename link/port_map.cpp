#include "link/port_map.h"

#include "settings/durable_file.h"
#include "settings/ini_document.h"
#include "settings/store.h"

#include <QFile>
#include <QList>
#include <QPair>
#include <array>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace port_map {

namespace {

const QString kGroup = QStringLiteral("Ports");

bool inRange(int port)
{
    return port >= kFirstPort && port <= kLastPort;
}

QString keyOf(int port)
{
    return QStringLiteral("COM%1").arg(port);
}

} // namespace

QString defaultDevice(int port)
{
    if (!inRange(port))
        return {};
#ifdef Q_OS_WIN
    return keyOf(port);
#else
    if (port <= 4)
        return QStringLiteral("/dev/ttyS%1").arg(port - 1);
    if (port <= 6)
        return QStringLiteral("/dev/ttyUSB%1").arg(port - 5);
    return QStringLiteral("/dev/ttyACM%1").arg(port - 7);
#endif
}

namespace {

// What tells one version of the store file from another without reading it: the file itself (a save
// replaces it with a new one), its size and its times to the nanosecond.
struct FileStamp {
    QString path;
    qint64 inode = -1, size = -1, mtimeNs = -1, ctimeNs = -1;
    bool operator==(const FileStamp &o) const
    {
        return path == o.path && inode == o.inode && size == o.size && mtimeNs == o.mtimeNs
            && ctimeNs == o.ctimeNs;
    }
};

FileStamp stampOf(const QString &path)
{
    FileStamp stamp;
    stamp.path = path;
#ifdef Q_OS_UNIX
    struct stat info {
    };
    if (::stat(QFile::encodeName(path).constData(), &info) == 0) {
        stamp.inode = qint64(info.st_ino);
        stamp.size = qint64(info.st_size);
        stamp.mtimeNs = qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
        stamp.ctimeNs = qint64(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
    }
#endif
    return stamp;
}

// The map as last read from the store, read again only when the file has changed: a port check runs
// every second while an adapter is out, and the map is asked eight times each time the setup list
// opens.
struct Cache {
    bool valid = false;
    FileStamp stamp;
    std::array<QString, kLastPort + 1> stored;
};

Cache &cache()
{
    static Cache c;
    return c;
}

} // namespace

QString devicePath(int port)
{
    if (!inRange(port))
        return {};
    Cache &c = cache();
    SettingsStore &store = SettingsStore::instance();
    const FileStamp now = stampOf(store.filePath());
#ifdef Q_OS_UNIX
    const bool fresh = c.valid && now.inode >= 0 && now == c.stamp;
#else
    const bool fresh = false;
#endif
    if (!fresh) {
        QByteArray bytes;
        QString error;
        const bool read
            = durable_file::readAll(now.path, &bytes, &error) == durable_file::ReadResult::Read;
        const IniDocument doc = IniDocument::parse(read ? bytes : QByteArray());
        for (int p = kFirstPort; p <= kLastPort; ++p)
            c.stored[size_t(p)] = doc.value(kGroup, keyOf(p)).trimmed();
        c.stamp = now;
        c.valid = true;
    }
    // A key left blank by hand means "the usual device", not "no device". A name without a folder
    // ("ttyUSB0") is a device under /dev, as the serial library takes it, never a file in the
    // working folder.
    const QString &stored = c.stored[size_t(port)];
    if (stored.isEmpty())
        return defaultDevice(port);
#ifdef Q_OS_UNIX
    if (!stored.startsWith(QLatin1Char('/')))
        return QLatin1String("/dev/") + stored;
#endif
    return stored;
}

bool writeMissingDefaults()
{
    QList<QPair<QString, QString>> entries;
    for (int port = kFirstPort; port <= kLastPort; ++port)
        entries.append(qMakePair(keyOf(port), defaultDevice(port)));
    return SettingsStore::instance().addMissingGroupKeys(kGroup, entries);
}

bool assignDevice(int port, const QString &device)
{
    if (!inRange(port) || device.trimmed().isEmpty())
        return false;
    SettingsStore &store = SettingsStore::instance();
    QByteArray bytes;
    QString error;
    const bool read
        = durable_file::readAll(store.filePath(), &bytes, &error) == durable_file::ReadResult::Read;
    const IniDocument doc = IniDocument::parse(read ? bytes : QByteArray());
    // A key the operator left blank stays blank (the usual device): only `port` changes.
    QList<QPair<QString, QString>> entries;
    for (int p = kFirstPort; p <= kLastPort; ++p) {
        const QString key = keyOf(p);
        const QString value = p == port ? device.trimmed() : doc.value(kGroup, key, defaultDevice(p));
        entries.append(qMakePair(key, value));
    }
    return store.setGroupKeys(kGroup, entries);
}

} // namespace port_map
