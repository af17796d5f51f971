#include "link/port_map.h"

#include "link/port_entry.h"
#include "settings/store.h"

#include <QList>
#include <QPair>

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

QString devicePath(int port)
{
    if (!inRange(port))
        return {};
    // The store keeps the file parsed and reads it again only when it changed: a port check runs
    // every second while an adapter is out, and the map is asked eight times each time the setup
    // list opens.
    const QString stored = SettingsStore::instance().groupValue(kGroup, keyOf(port)).trimmed();
    // A key left blank by hand means "the usual device", not "no device". A name without a folder
    // ("ttyUSB0") is a device under /dev, as the serial library takes it, never a file in the
    // working folder.
    if (stored.isEmpty())
        return defaultDevice(port);
    if (port_entry::looksNetwork(stored))
        return stored; // an address (tcp://, rfc2217://, ...), parsed by the link
#ifdef Q_OS_UNIX
    if (!stored.startsWith(QLatin1Char('/')))
        return QLatin1String("/dev/") + stored;
#endif
    return stored;
}

QString shownEntry(int port)
{
    return port_entry::shown(devicePath(port));
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
