#include "link/serial_devices.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSerialPortInfo>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

QString SerialDevice::usbId() const
{
    if (vendorId < 0 || productId < 0)
        return {};
    return QStringLiteral("%1:%2")
        .arg(vendorId, 4, 16, QLatin1Char('0'))
        .arg(productId, 4, 16, QLatin1Char('0'));
}

namespace serial_devices {

namespace {

// The device file a path leads to, or empty when it leads nowhere.
QString deviceFile(const QString &path)
{
    return QFileInfo(path).canonicalFilePath();
}

bool isCharacterDevice(const QString &path)
{
#ifdef Q_OS_UNIX
    struct stat info {
    };
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 && S_ISCHR(info.st_mode);
#else
    Q_UNUSED(path);
    return false;
#endif
}

} // namespace

QString systemByIdFolder()
{
    return QStringLiteral("/dev/serial/by-id");
}

QList<SerialDevice> scan(const QString &byIdFolder)
{
    QList<SerialDevice> devices;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        SerialDevice d;
        d.systemLocation = info.systemLocation();
        d.description = info.description();
        d.manufacturer = info.manufacturer();
        d.serialNumber = info.serialNumber();
        if (info.hasVendorIdentifier())
            d.vendorId = info.vendorIdentifier();
        if (info.hasProductIdentifier())
            d.productId = info.productIdentifier();
        devices.append(d);
    }

    if (!byIdFolder.isEmpty()) {
        // Sorted, so that a device with two names always shows the same one.
        const QDir folder(byIdFolder);
        const QStringList names = folder.entryList(
            QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
        for (const QString &name : names) {
            const QString link = folder.filePath(name);
            const QString target = deviceFile(link);
            if (target.isEmpty() || !isCharacterDevice(target))
                continue; // a name left behind by an adapter that is gone
            const int at = indexOf(devices, target);
            if (at >= 0) {
                if (devices[at].byIdPath.isEmpty())
                    devices[at].byIdPath = link;
                continue;
            }
            SerialDevice d;
            d.systemLocation = target;
            d.byIdPath = link;
            devices.append(d);
        }
    }

    std::sort(devices.begin(), devices.end(),
        [](const SerialDevice &a, const SerialDevice &b) { return a.mapName() < b.mapName(); });
    return devices;
}

int indexOf(const QList<SerialDevice> &devices, const QString &path)
{
    if (path.isEmpty())
        return -1;
    const QString target = deviceFile(path);
    for (int i = 0; i < devices.size(); ++i) {
        const SerialDevice &d = devices.at(i);
        if (d.systemLocation == path || d.byIdPath == path)
            return i;
        if (!target.isEmpty() && deviceFile(d.systemLocation) == target)
            return i;
    }
    return -1;
}

} // namespace serial_devices

SerialDeviceWatch::SerialDeviceWatch(const QString &byIdFolder, QObject *parent)
    : QObject(parent)
    , m_byIdFolder(byIdFolder)
{
    m_timer.setInterval(kIntervalMs);
    connect(&m_timer, &QTimer::timeout, this, &SerialDeviceWatch::rescan);
}

void SerialDeviceWatch::start()
{
    rescan();
    m_timer.start();
}

void SerialDeviceWatch::stop()
{
    m_timer.stop();
}

void SerialDeviceWatch::rescan()
{
    QList<SerialDevice> now = serial_devices::scan(m_byIdFolder);
    if (m_scanned && now == m_devices)
        return;
    m_scanned = true;
    m_devices = std::move(now);
    emit changed();
}
