#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

// One serial device on this machine, with what it says about itself: what the operator needs to
// tell one adapter from another before putting it behind a "COM n".
struct SerialDevice {
    QString systemLocation; // the device itself, for example /dev/ttyUSB0
    QString byIdPath; // its name in the by-id folder, which stays the same whatever the plug order
    QString description;
    QString manufacturer;
    QString serialNumber;
    int vendorId = -1; // USB vendor and product ids; -1 when the device is not on USB
    int productId = -1;

    // What the port map should hold for it: the by-id name where there is one.
    QString mapName() const { return byIdPath.isEmpty() ? systemLocation : byIdPath; }
    // "0403:6001", or empty when the ids are not known.
    QString usbId() const;

    bool operator==(const SerialDevice &o) const
    {
        return systemLocation == o.systemLocation && byIdPath == o.byIdPath && description == o.description
            && manufacturer == o.manufacturer && serialNumber == o.serialNumber && vendorId == o.vendorId
            && productId == o.productId;
    }
    bool operator!=(const SerialDevice &o) const { return !(*this == o); }
};

namespace serial_devices {

// Where the system keeps the stable names of serial adapters (udev's links).
QString systemByIdFolder();

// The serial devices present, sorted by the name the port map would hold. The system's serial
// port list gives the devices and their details; `byIdFolder` gives their stable names, and a
// character device that only the folder names counts as present too (a pseudo-terminal, which the
// port list leaves out, standing in for an adapter).
QList<SerialDevice> scan(const QString &byIdFolder = systemByIdFolder());

// The entry of `devices` that `path` leads to (the same file once links are followed), or -1.
int indexOf(const QList<SerialDevice> &devices, const QString &path);

} // namespace serial_devices

// The serial devices present, kept current while someone looks at them: adapters are plugged in
// and pulled out while the port map is open. It scans again every second, from start() until
// stop(), and says when the list has changed. A poll rather than a watch on /dev: the details
// come from udev and sysfs, which no file event announces; the by-id folder itself appears with
// the first adapter and goes with the last, so a watch would have to be on /dev, which changes for
// devices of every kind and before udev has made the by-id link. A scan takes about 10 ms.
class SerialDeviceWatch : public QObject
{
    Q_OBJECT
public:
    explicit SerialDeviceWatch(
        const QString &byIdFolder = serial_devices::systemByIdFolder(), QObject *parent = nullptr);

    static constexpr int kIntervalMs = 1000;

    void start(); // scans now, then every kIntervalMs
    void stop();
    bool isRunning() const { return m_timer.isActive(); }
    // Scans now; changed() when the list is not what it was.
    void rescan();

    const QList<SerialDevice> &devices() const { return m_devices; }
    QString byIdFolder() const { return m_byIdFolder; }

signals:
    void changed();

private:
    QString m_byIdFolder;
    QList<SerialDevice> m_devices;
    bool m_scanned = false;
    QTimer m_timer;
};
