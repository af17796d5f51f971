#pragma once

#include "link/serial_devices.h"

#include <QWidget>

class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QTreeWidget;

// File > Setup > Devices...: which device each "COM n" stands for, the serial devices present (kept
// current while the window is shown), and the one step that puts a device behind a port. What a
// device is and how the map is written is the core's; this window only shows and asks.
class PortMapWindow : public QWidget
{
    Q_OBJECT
public:
    // `byIdFolder`: where the stable device names are (tests give a folder of pseudo-terminals).
    explicit PortMapWindow(
        QWidget *parent = nullptr, const QString &byIdFolder = serial_devices::systemByIdFolder());

    // Reads the map from the store again and shows it with the devices last found.
    void refresh();
    // Puts the selected device behind the port chosen in the box; false when nothing was written.
    bool assignSelected();

    QTreeWidget *portList() const { return m_ports; }
    QTreeWidget *deviceList() const { return m_devices; }
    QComboBox *portBox() const { return m_port; }
    QLabel *resultLabel() const { return m_result; }
    const SerialDeviceWatch &watch() const { return m_watch; }

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void showPorts();
    void showDevices();
    void updateAssign();
    QString selectedDevice() const;

    SerialDeviceWatch m_watch;
    QTreeWidget *m_ports;
    QGroupBox *m_devicesGroup;
    QTreeWidget *m_devices;
    QComboBox *m_port;
    QPushButton *m_assign;
    QLabel *m_result;
};
