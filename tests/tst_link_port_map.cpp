// "COM n" to device through the store's Ports group: the built-in defaults, writing the missing
// keys for the operator to edit, and an edited key that points at a real device or a symlink.
#include "link/port_map.h"
#include "link/serial_link.h"
#include "settings/store.h"
#include "support/pty_pair.h"
#include "support/test_env.h"

#include <QtTest>

class TestPortMap : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();

    void defaults_data();
    void defaults();
    void writesMissingKeysAndKeepsEdited();
    void editedKeyLeadsTheLinkToTheDevice_data();
    void editedKeyLeadsTheLinkToTheDevice();
    void nameWithoutFolderIsUnderDev();
    void handEditIsSeenWithoutRestart();
    void portLooksParseTheStoreOnce();

private:
    TestStoreHome *m_home = nullptr;
};

void TestPortMap::initTestCase()
{
    m_home = new TestStoreHome;
}

void TestPortMap::init()
{
    m_home->removeStore();
}

void TestPortMap::defaults_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("device");
    QTest::newRow("COM1") << 1 << "/dev/ttyS0";
    QTest::newRow("COM4") << 4 << "/dev/ttyS3";
    QTest::newRow("COM5") << 5 << "/dev/ttyUSB0";
    QTest::newRow("COM6") << 6 << "/dev/ttyUSB1";
    QTest::newRow("COM7") << 7 << "/dev/ttyACM0";
    QTest::newRow("COM8") << 8 << "/dev/ttyACM1";
    QTest::newRow("0 is no port") << 0 << QString();
    QTest::newRow("9 is no port") << 9 << QString();
    QTest::newRow("-1 is no port") << -1 << QString();
}

void TestPortMap::defaults()
{
    QFETCH(int, port);
    QFETCH(QString, device);
    QCOMPARE(port_map::defaultDevice(port), device);
    QCOMPARE(port_map::devicePath(port), device); // an empty store maps to the defaults
}

void TestPortMap::writesMissingKeysAndKeepsEdited()
{
    m_home->writeStore("[Ports]\nCOM3=/dev/serial/by-id/usb-FTDI_A1-if00-port0\nCOM5=\n");
    QVERIFY(port_map::writeMissingDefaults());

    // Read the file itself: the operator edits this text.
    const QByteArray text = m_home->storeBytes();
    QVERIFY2(text.contains("COM1=/dev/ttyS0\n"), text.constData());
    QVERIFY2(text.contains("COM3=/dev/serial/by-id/usb-FTDI_A1-if00-port0\n"), text.constData());
    QVERIFY2(text.contains("COM5=\n"), text.constData()); // present, so left alone
    QVERIFY2(text.contains("COM8=/dev/ttyACM1\n"), text.constData());
    QCOMPARE(text.count("COM"), 8);

    QCOMPARE(port_map::devicePath(3), QStringLiteral("/dev/serial/by-id/usb-FTDI_A1-if00-port0"));
    QCOMPARE(port_map::devicePath(5), QStringLiteral("/dev/ttyUSB0")); // blank means the usual device
    QCOMPARE(port_map::devicePath(2), QStringLiteral("/dev/ttyS1"));

    // A second call changes nothing.
    QVERIFY(port_map::writeMissingDefaults());
    QCOMPARE(m_home->storeBytes(), text);
}

void TestPortMap::editedKeyLeadsTheLinkToTheDevice_data()
{
    QTest::addColumn<bool>("throughSymlink");
    QTest::newRow("device path") << false;
    QTest::newRow("by-id symlink") << true;
}

void TestPortMap::editedKeyLeadsTheLinkToTheDevice()
{
    QFETCH(bool, throughSymlink);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    PtyPair pty(throughSymlink ? dir.filePath(QStringLiteral("usb-Adapter_0001-if00-port0")) : QString());
    QVERIFY(pty.isValid());
    QVERIFY(port_map::writeMissingDefaults());
    m_home->writeStore(m_home->storeBytes().replace("COM6=/dev/ttyUSB1", "COM6=" + pty.path().toLocal8Bit()));

    QCOMPARE(port_map::devicePath(6), pty.path());
    SerialLink link;
    QCOMPARE(link.open(6, port_map::devicePath(6)), LinkFailure::None);
    QCOMPARE(link.openDevicePath(), pty.path());
    QVERIFY(link.write(QByteArray::fromHex("00464d")));
    QCOMPARE(pty.waitForWritten(3).toHex(), QByteArray("00464d"));
}

// "ttyUSB0" is /dev/ttyUSB0, as the serial library opens it: never a file of that name in the
// working folder, which the existence check would otherwise find and the library then miss.
void TestPortMap::nameWithoutFolderIsUnderDev()
{
    QTemporaryDir cwd;
    QVERIFY(cwd.isValid());
    const QString before = QDir::currentPath();
    QVERIFY(QDir::setCurrent(cwd.path()));
    QFile decoy(QStringLiteral("ttyVALTRONA9"));
    QVERIFY(decoy.open(QIODevice::WriteOnly));
    decoy.close();
    m_home->writeStore("[Ports]\nCOM3=ttyVALTRONA9\nCOM4=null\n");

    QCOMPARE(port_map::devicePath(3), QStringLiteral("/dev/ttyVALTRONA9"));
    SerialLink link;
    QCOMPARE(link.open(3, port_map::devicePath(3)), LinkFailure::Missing);
    // A character device that is no serial port is refused by the serial library, not taken.
    QCOMPARE(port_map::devicePath(4), QStringLiteral("/dev/null"));
    const LinkFailure null = link.open(4, port_map::devicePath(4));
    QVERIFY(null != LinkFailure::None && null != LinkFailure::Missing);
    QVERIFY(QDir::setCurrent(before));
}

// The map is read again when the file changes, and only then.
void TestPortMap::handEditIsSeenWithoutRestart()
{
    m_home->writeStore("[Ports]\nCOM5=/dev/ttyFIRST\n");
    QCOMPARE(port_map::devicePath(5), QStringLiteral("/dev/ttyFIRST"));
    m_home->writeStore("[Ports]\nCOM5=/dev/ttySECOND\n");
    QCOMPARE(port_map::devicePath(5), QStringLiteral("/dev/ttySECOND"));
}

// A port check runs every second while the adapter is out, each asking for the device: the store,
// unchanged, is parsed once for all of them, and once more after a hand edit (of the same size).
void TestPortMap::portLooksParseTheStoreOnce()
{
    auto parses = [] { return SettingsStore::instance().fileStatistics().parses; };
    m_home->writeStore("[Ports]\nCOM5=/dev/ttyFIRST\n");
    const quint64 before = parses();
    QVERIFY(port_map::writeMissingDefaults());
    for (int tick = 0; tick < 100; ++tick) {
        for (int port = port_map::kFirstPort; port <= port_map::kLastPort; ++port)
            QVERIFY(!port_map::devicePath(port).isEmpty());
    }
    QCOMPARE(port_map::devicePath(5), QStringLiteral("/dev/ttyFIRST"));
    QCOMPARE(parses() - before, quint64(1));

    m_home->writeStore(m_home->storeBytes().replace("/dev/ttyFIRST", "/dev/ttyOTHER"));
    for (int tick = 0; tick < 10; ++tick)
        QCOMPARE(port_map::devicePath(5), QStringLiteral("/dev/ttyOTHER"));
    QCOMPARE(parses() - before, quint64(2));
}

QTEST_GUILESS_MAIN(TestPortMap)
#include "tst_link_port_map.moc"
