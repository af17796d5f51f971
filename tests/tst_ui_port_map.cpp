// The port map window (File > Setup > Devices...): what it shows of the map and of the serial
// devices present, kept current while adapters come and go, and what an assignment writes to the
// store. Pseudo-terminals stand in for USB adapters: each is linked into a by-id folder of the
// test's own, which the window is given in place of /dev/serial/by-id, since the system's serial
// port list leaves pseudo-terminals out.
#include "ui/frm_setup.h"
#include "ui/port_map_window.h"

#include "link/port_map.h"
#include "settings/durable_file.h"
#include "settings/record.h"
#include "settings/store.h"
#include "support/pty_pair.h"
#include "support/sim_process.h"
#include "support/ui/panel_window.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QScopeGuard>
#include <QTreeWidget>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// The system calls of the last save, in order: what was flushed (the file or a folder) and renamed.
QStringList g_calls;

QString kindOf(int fd)
{
    struct stat info {
    };
    if (::fstat(fd, &info) != 0)
        return QStringLiteral("?");
    return S_ISDIR(info.st_mode) ? QStringLiteral("folder") : QStringLiteral("file");
}

// The groups of a store file's text as they stand, each from its "[...]" line to its last line,
// blank lines left out (a save separates groups by one). The lines before the first group are "".
QMap<QString, QByteArray> groupsOf(const QByteArray &text)
{
    QMap<QString, QByteArray> groups;
    QString current;
    for (const QByteArray &line : text.split('\n')) {
        if (line.trimmed().isEmpty())
            continue;
        if (line.startsWith('['))
            current = QString::fromUtf8(line);
        groups[current] += line + '\n';
    }
    return groups;
}

} // namespace

class TestUiPortMap : public WindowTest
{
    Q_OBJECT

    QTemporaryDir m_byId; // the test's /dev/serial/by-id

    QString byIdName(const QString &adapter) const
    {
        return m_byId.filePath(QStringLiteral("usb-ZTK_Test_Adapter_%1-if00-port0").arg(adapter));
    }

    // The row of `list` whose first column is `name`, or null.
    static QTreeWidgetItem *row(QTreeWidget *list, const QString &name)
    {
        const QList<QTreeWidgetItem *> found = list->findItems(name, Qt::MatchExactly, 0);
        return found.isEmpty() ? nullptr : found.first();
    }

    // The device list's names that lie in the test's by-id folder (the machine may have real ones).
    QStringList ourDevices(const PortMapWindow &window) const
    {
        QStringList names;
        for (int i = 0; i < window.deviceList()->topLevelItemCount(); ++i) {
            const QString name = window.deviceList()->topLevelItem(i)->text(0);
            if (name.startsWith(m_byId.path()))
                names << name;
        }
        return names;
    }

    static QString portRow(const PortMapWindow &window, int port, int column)
    {
        QTreeWidgetItem *item = window.portList()->topLevelItem(port - 1);
        return item ? item->text(column) : QString();
    }

    // Picks the device row `name` with the mouse, as the operator does.
    static bool pickDevice(PortMapWindow &window, const QString &name)
    {
        QTreeWidgetItem *item = row(window.deviceList(), name);
        if (!item)
            return false;
        QTreeWidget *list = window.deviceList();
        const QRect place = list->visualItemRect(item);
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, place.center());
        return item->isSelected();
    }

    FrmSetup *dialog() const { return m_form->findChild<FrmSetup *>(QStringLiteral("FrmSetup")); }

private slots:
    void initTestCase() { QVERIFY(m_byId.isValid()); }

    void cleanup()
    {
        closeWindow();
        QApplication::processEvents();
    }

    // "Devices..." in the setup dialog opens the map as the store holds it, and the map goes when
    // the dialog is closed.
    void devicesButtonOpensTheMap()
    {
        PtyPair adapter(byIdName(QStringLiteral("COM1")));
        QVERIFY(adapter.isValid());
        const QString absent = m_byId.filePath(QStringLiteral("nothing-here"));
        m_form.start("[Ports]\nCOM1=" + adapter.path().toUtf8() + "\nCOM3=" + absent.toUtf8()
                + "\n\n[ValtronaAmp%2B]\nTrayAtStart=False\nCOMSelected=1\n",
            PanelWindow::ManualTicks | PanelWindow::LinkOpen);
        m_form->SetupMnu_Click();
        FrmSetup *setup = dialog();
        QVERIFY(setup && setup->isVisible());

        auto *devices = setup->findChild<QPushButton *>(QStringLiteral("Command2"));
        QVERIFY(devices);
        QCOMPARE(devices->text(), QString("&Devices..."));
        QCOMPARE(devices->accessibleName(), QString("Devices..."));
        QCOMPARE(devices->parentWidget()->objectName(), QString("Frame2"));
        devices->click();
        PortMapWindow *map = setup->portMapWindow();
        QVERIFY(map && map->isVisible());
        QVERIFY(map->watch().isRunning());
        QCOMPARE(map->portList()->topLevelItemCount(), 8);
        for (int port = 1; port <= 8; ++port)
            QCOMPARE(portRow(*map, port, 0), QStringLiteral("COM %1").arg(port));
        QCOMPARE(portRow(*map, 1, 1), adapter.path());
        QVERIFY2(portRow(*map, 1, 2).startsWith(QLatin1String("present")), qPrintable(portRow(*map, 1, 2)));
        QCOMPARE(portRow(*map, 3, 1), absent);
        QCOMPARE(portRow(*map, 3, 2), QString("not present"));
        QCOMPARE(portRow(*map, 5, 1), QString("/dev/ttyUSB0")); // defaults where the store has none
        // The box offers the port the operator works with.
        QCOMPARE(map->portBox()->currentText(), QString("COM 1"));

        // Every text can be read by a screen reader: the lists, the box and the buttons have names.
        for (QWidget *w : map->findChildren<QWidget *>()) {
            if (qobject_cast<QTreeWidget *>(w) || qobject_cast<QComboBox *>(w)
                || qobject_cast<QPushButton *>(w) || qobject_cast<QGroupBox *>(w))
                QVERIFY2(!w->accessibleName().isEmpty(), qPrintable(w->objectName()));
        }

        setup->findChild<QPushButton *>(QStringLiteral("Command1"))->click();
        QVERIFY(!setup->isVisible());
        QVERIFY(!map->isVisible());
        QVERIFY(!map->watch().isRunning()); // no scans while nobody looks
    }

    // Adapters plugged in and pulled out while the window is open: the list follows, and so does
    // what the map's ports find behind their devices.
    void listFollowsAdaptersComingAndGoing()
    {
        const QString a = byIdName(QStringLiteral("A")), b = byIdName(QStringLiteral("B"));
        QVERIFY(m_home.replaceStore("[Ports]\nCOM5=" + a.toUtf8() + "\n"));
        PortMapWindow window(nullptr, m_byId.path());
        window.show();
        QVERIFY(ourDevices(window).isEmpty());
        QCOMPARE(portRow(window, 5, 2), QString("not present"));

        PtyPair first(a);
        QVERIFY(first.isValid());
        QVERIFY(waitUntil([&] { return ourDevices(window) == QStringList { a }; }, 5000));
        QCOMPARE(row(window.deviceList(), a)->text(1), first.slavePath());
        QCOMPARE(row(window.deviceList(), a)->text(6), QString("COM 5")); // used by
        QVERIFY2(portRow(window, 5, 2).contains(first.slavePath()), qPrintable(portRow(window, 5, 2)));

        PtyPair second(b);
        QVERIFY(second.isValid());
        QVERIFY(waitUntil([&] { return ourDevices(window) == QStringList({ a, b }); }, 5000));
        QCOMPARE(row(window.deviceList(), b)->text(6), QString());

        first.unplug();
        QVERIFY(waitUntil([&] { return ourDevices(window) == QStringList { b }; }, 5000));
        QCOMPARE(portRow(window, 5, 2), QString("not present"));

        // Plugged in again it comes back on whatever device the system gives it.
        QVERIFY(first.replug());
        QVERIFY(waitUntil([&] { return ourDevices(window) == QStringList({ a, b }); }, 5000));
        QCOMPARE(row(window.deviceList(), a)->text(1), first.slavePath());

        window.hide();
        QVERIFY(!window.watch().isRunning());
    }

    // An assignment writes the eight keys of [Ports] at once and durably, and leaves every other
    // group of the file, the record's 265 keys and COMSelected among them, byte for byte as it was.
    void assignmentWritesOnlyThePorts_data()
    {
        QTest::addColumn<QByteArray>("ports"); // the [Ports] group before, or none
        QTest::addColumn<QStringList>("expected"); // COM1 ... COM8 after assigning COM 6

        const QString x = QStringLiteral("%1"); // the adapter's by-id name
        QTest::newRow("no port map yet")
            << QByteArray()
            << QStringList { "/dev/ttyS0", "/dev/ttyS1", "/dev/ttyS2", "/dev/ttyS3", "/dev/ttyUSB0", x,
                   "/dev/ttyACM0", "/dev/ttyACM1" };
        QTest::newRow("edited by hand")
            << QByteArray("[Ports]\n; the site's adapters\nCOM2=/dev/ttyUSB7\nCOM5=\nCOM6=/dev/ttyUSB1\n"
                          "Note=kept as it is\n")
            << QStringList { "/dev/ttyS0", "/dev/ttyUSB7", "/dev/ttyS2", "/dev/ttyS3", "", x, "/dev/ttyACM0",
                   "/dev/ttyACM1" };
    }

    void assignmentWritesOnlyThePorts()
    {
        QFETCH(QByteArray, ports);
        QFETCH(QStringList, expected);

        PtyPair adapter(byIdName(QStringLiteral("C")));
        QVERIFY(adapter.isValid());
        for (QString &device : expected) {
            if (device == QLatin1String("%1"))
                device = adapter.path();
        }

        // A whole record as a save writes it, COMSelected 3, and a group of someone else's.
        QVERIFY(m_home.replaceStore(ports + "\n[ValtronaAmp%2B]\nCOMSelected=3\n\n[Elsewhere]\nkey=value\n"));
        QVERIFY(LoadSettings());
        QVERIFY(SaveSettings());
        const QByteArray before = m_home.storeBytes();
        int keys = 0;
        QCOMPARE(m_home.storedText("COMSelected", &keys), QByteArray("3"));
        QCOMPARE(keys, 265);

        PortMapWindow window(nullptr, m_byId.path());
        window.show();
        QVERIFY(waitUntil([&] { return ourDevices(window).contains(adapter.path()); }, 5000));
        QVERIFY(pickDevice(window, adapter.path()));
        window.portBox()->setCurrentIndex(window.portBox()->findText(QStringLiteral("COM 6")));

        durable_file::SystemCalls &calls = durable_file::systemCalls();
        const durable_file::SystemCalls real = calls;
        auto restore = qScopeGuard([&] { calls = real; });
        g_calls.clear();
        calls.fsync = [](int fd) {
            g_calls << QStringLiteral("flush ") + kindOf(fd);
            return ::fsync(fd);
        };
        calls.rename = [](const char *from, const char *to) {
            g_calls << QStringLiteral("rename to ") + QFile::decodeName(to);
            return ::rename(from, to);
        };
        window.findChild<QPushButton *>(QStringLiteral("Assign"))->click();
        calls = real;
        restore.dismiss();

        // Flushed, put in the store's place, and the folder flushed so that the rename lasts.
        QCOMPARE(g_calls, QStringList({ "flush file", "rename to " + m_home.storeFile(), "flush folder" }));
        const QString said = window.resultLabel()->text();
        QVERIFY2(said.startsWith(QStringLiteral("COM 6 now stands for %1.").arg(adapter.path())),
            qPrintable(said));

        const QByteArray after = m_home.storeBytes();
        QMap<QString, QByteArray> groupsBefore = groupsOf(before), groupsAfter = groupsOf(after);
        const QByteArray portsAfter = groupsAfter.take(QStringLiteral("[Ports]"));
        groupsBefore.remove(QStringLiteral("[Ports]"));
        QCOMPARE(groupsAfter, groupsBefore);
        QCOMPARE(m_home.storedText("COMSelected"), QByteArray("3"));

        // The keys in order at the group's start, then what the operator had added there.
        QByteArray wanted = "[Ports]\n";
        for (int port = 1; port <= 8; ++port)
            wanted += "COM" + QByteArray::number(port) + "=" + expected.at(port - 1).toUtf8() + "\n";
        if (!ports.isEmpty())
            wanted += "; the site's adapters\nNote=kept as it is\n";
        QCOMPARE(portsAfter, wanted);

        // The panel reads the port from there; a blank key still means the usual device.
        QCOMPARE(port_map::devicePath(6), adapter.path());
        QCOMPARE(port_map::devicePath(5), QString("/dev/ttyUSB0"));
        QVERIFY(
            waitUntil([&] { return row(window.deviceList(), adapter.path())->text(6) == "COM 6"; }, 5000));
        QCOMPARE(portRow(window, 6, 1), adapter.path());
    }
};

QTEST_MAIN(TestUiPortMap)
#include "tst_ui_port_map.moc"
