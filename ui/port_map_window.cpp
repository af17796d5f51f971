#include "ui/port_map_window.h"

#include "link/port_entry.h"
#include "link/port_map.h"
#include "settings/record.h"
#include "settings/store.h"

#include <QComboBox>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

QString portText(int port)
{
    return QStringLiteral("COM %1").arg(port);
}

// What is behind a device path now: the device found there and what it says of itself.
QString presence(const QList<SerialDevice> &devices, const QString &path)
{
    const int at = serial_devices::indexOf(devices, path);
    if (at < 0)
        return QFileInfo::exists(path) ? QObject::tr("present") : QObject::tr("not present");
    const SerialDevice &d = devices.at(at);
    QStringList parts { QObject::tr("present") };
    if (d.systemLocation != path)
        parts << d.systemLocation;
    if (!d.description.isEmpty())
        parts << d.description;
    return parts.join(QStringLiteral(", "));
}

QTreeWidget *list(
    QWidget *parent, const char *name, const QString &accessibleName, const QStringList &headers)
{
    auto *l = new QTreeWidget(parent);
    l->setObjectName(QString::fromLatin1(name));
    l->setAccessibleName(accessibleName);
    l->setRootIsDecorated(false);
    l->setUniformRowHeights(true);
    l->setAllColumnsShowFocus(true);
    l->setHeaderLabels(headers);
    l->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    return l;
}

} // namespace

PortMapWindow::PortMapWindow(QWidget *parent, const QString &byIdFolder)
    : QWidget(parent, Qt::Window)
    , m_watch(byIdFolder)
{
    setObjectName(QStringLiteral("PortMapWindow"));
    setWindowTitle(tr("Devices - ValtronaAmp+"));
    resize(760, 540);

    auto *portsGroup = new QGroupBox(tr("Ports"), this);
    portsGroup->setAccessibleName(portsGroup->title());
    m_ports = list(portsGroup, "PortList", tr("Ports"), { tr("Port"), tr("Device"), tr("Now") });
    (new QVBoxLayout(portsGroup))->addWidget(m_ports);

    m_devicesGroup = new QGroupBox(this);
    m_devices = list(m_devicesGroup, "DeviceList", tr("Serial devices present"),
        { tr("Name"), tr("Device"), tr("Description"), tr("Maker"), tr("USB id"), tr("Serial number"),
            tr("Used by") });
    m_devices->setSelectionMode(QAbstractItemView::SingleSelection);
    (new QVBoxLayout(m_devicesGroup))->addWidget(m_devices);

    auto *portLabel = new QLabel(tr("Put the selected device behind &port:"), this);
    portLabel->setTextFormat(Qt::PlainText);
    m_port = new QComboBox(this);
    m_port->setObjectName(QStringLiteral("AssignPort"));
    m_port->setAccessibleName(tr("Put the selected device behind port"));
    for (int port = port_map::kFirstPort; port <= port_map::kLastPort; ++port)
        m_port->addItem(portText(port), port);
    portLabel->setBuddy(m_port);
    m_assign = new QPushButton(tr("&Assign"), this);
    m_assign->setObjectName(QStringLiteral("Assign"));
    m_assign->setAccessibleName(tr("Assign"));
    auto *close = new QPushButton(tr("&Close"), this);
    close->setObjectName(QStringLiteral("Close"));
    close->setAccessibleName(tr("Close"));

    m_result = new QLabel(this);
    m_result->setObjectName(QStringLiteral("AssignResult"));
    m_result->setTextFormat(Qt::PlainText);
    m_result->setWordWrap(true);
    m_result->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto *row = new QHBoxLayout;
    row->addWidget(portLabel);
    row->addWidget(m_port);
    row->addWidget(m_assign);
    row->addStretch(1);
    row->addWidget(close);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(portsGroup);
    layout->addWidget(m_devicesGroup, 1);
    layout->addLayout(row);
    layout->addWidget(m_result);

    connect(&m_watch, &SerialDeviceWatch::changed, this, [this] {
        showDevices();
        showPorts();
    });
    connect(m_devices, &QTreeWidget::itemSelectionChanged, this, &PortMapWindow::updateAssign);
    connect(m_assign, &QPushButton::clicked, this, &PortMapWindow::assignSelected);
    connect(close, &QPushButton::clicked, this, &QWidget::close);
    showDevices();
    showPorts();
}

void PortMapWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // The port the operator works with comes first in the box.
    const int selected = settingsRecord().COMSelected;
    if (selected >= port_map::kFirstPort && selected <= port_map::kLastPort)
        m_port->setCurrentIndex(selected - port_map::kFirstPort);
    m_result->clear();
    refresh();
    m_watch.start();
}

void PortMapWindow::hideEvent(QHideEvent *event)
{
    m_watch.stop();
    QWidget::hideEvent(event);
}

void PortMapWindow::refresh()
{
    showDevices();
    showPorts();
}

void PortMapWindow::showPorts()
{
    const QList<SerialDevice> &devices = m_watch.devices();
    m_ports->clear();
    for (int port = port_map::kFirstPort; port <= port_map::kLastPort; ++port) {
        const QString path = port_map::devicePath(port);
        auto *item = new QTreeWidgetItem(m_ports, { portText(port), port_entry::shown(path), presence(devices, path) });
        item->setData(0, Qt::UserRole, port);
    }
    // All eight ports in sight, without scrolling.
    const int rows = m_ports->topLevelItemCount() * m_ports->sizeHintForRow(0);
    m_ports->setMinimumHeight(rows + m_ports->header()->sizeHint().height() + 2 * m_ports->frameWidth() + 2);
}

void PortMapWindow::showDevices()
{
    const QList<SerialDevice> &devices = m_watch.devices();
    const QString chosen = selectedDevice();
    {
        const QSignalBlocker quiet(m_devices);
        m_devices->clear();
        for (const SerialDevice &d : devices) {
            QStringList usedBy;
            for (int port = port_map::kFirstPort; port <= port_map::kLastPort; ++port) {
                if (serial_devices::indexOf({ d }, port_map::devicePath(port)) == 0)
                    usedBy << portText(port);
            }
            auto *item = new QTreeWidgetItem(m_devices,
                { d.mapName(), d.systemLocation, d.description, d.manufacturer, d.usbId(), d.serialNumber,
                    usedBy.join(QStringLiteral(", ")) });
            item->setData(0, Qt::UserRole, d.mapName());
            if (d.mapName() == chosen)
                item->setSelected(true);
        }
    }
    m_devicesGroup->setTitle(
        devices.isEmpty() ? tr("Serial devices present: none found") : tr("Serial devices present"));
    m_devicesGroup->setAccessibleName(m_devicesGroup->title());
    updateAssign();
}

QString PortMapWindow::selectedDevice() const
{
    const QList<QTreeWidgetItem *> items = m_devices->selectedItems();
    return items.isEmpty() ? QString() : items.first()->data(0, Qt::UserRole).toString();
}

void PortMapWindow::updateAssign()
{
    m_assign->setEnabled(!selectedDevice().isEmpty());
}

bool PortMapWindow::assignSelected()
{
    const QString device = selectedDevice();
    const int port = m_port->currentData().toInt();
    if (device.isEmpty())
        return false;
    const bool ok = port_map::assignDevice(port, device);
    if (ok)
        m_result->setText(tr("%1 now stands for %2. The panel opens it the next time it opens %1.")
                              .arg(portText(port), device));
    else
        m_result->setText(SettingsStore::instance().lastError());
    refresh();
    return ok;
}
