#include "link/port_map.h"

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
    // A key left blank by hand means "the usual device", not "no device".
    const QString stored = SettingsStore::instance().groupValue(kGroup, keyOf(port)).trimmed();
    return stored.isEmpty() ? defaultDevice(port) : stored;
}

bool writeMissingDefaults()
{
    QList<QPair<QString, QString>> entries;
    for (int port = kFirstPort; port <= kLastPort; ++port)
        entries.append(qMakePair(keyOf(port), defaultDevice(port)));
    return SettingsStore::instance().addMissingGroupKeys(kGroup, entries);
}

} // namespace port_map
