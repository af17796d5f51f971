// A status reading from end to end: the session's request goes out through the serial link to the
// simulator's pseudo-terminal, found through the store's port map, and the simulator's report
// comes back parsed into the fifteen texts, the drive level and the five alarm indicators.
#include "link/frames.h"
#include "session/session.h"
#include "settings/record.h"
#include "settings/store.h"
#include "support/session_access.h"
#include "support/sim_process.h"
#include "support/test_env.h"

#include <QSignalSpy>
#include <QTest>

namespace {

using Texts = QStringList;
using Alarms = QList<bool>;

// The session, as the window uses it.
struct Panel {
    TransmitterSession session;
    TransmitterLink &link = SessionTestAccess::link(session);
    const StatusMonitor &monitor = session.monitor();
    int missing = 0;

    Panel()
    {
        QObject::connect(&session, &TransmitterSession::missingPort, [this] { ++missing; });
    }

    // Requests a reading and waits until a report has been applied.
    bool read()
    {
        QSignalSpy applied(&monitor, &StatusMonitor::displayChanged);
        session.readStatus();
        return applied.count() > 0 || applied.wait(5000);
    }

    Texts texts() const
    {
        Texts t;
        for (const QString &s : monitor.display().texts)
            t << s;
        return t;
    }

    Alarms alarms() const
    {
        Alarms a;
        for (bool on : monitor.display().alarms)
            a << on;
        return a;
    }
};

void flush(Panel &panel, const frames::Fields &fields)
{
    for (const QByteArray &f : fields)
        QVERIFY(panel.link.write(f));
}

} // namespace

class TestE2eStatus : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void knownReport_data();
    void knownReport();
    void liveReportFollowsTheBoard();
    void readingGoesOnAfterReplug();

private:
    // Points COM1 of the store's port map at the simulator's link and selects COM1.
    void usePort(const SimProcess &sim);

    TestStoreHome m_home; // before anything touches the store
};

void TestE2eStatus::init()
{
    m_home.removeStore();
}

void TestE2eStatus::usePort(const SimProcess &sim)
{
    m_home.writeStore("[Ports]\nCOM1=" + QFile::encodeName(sim.linkPath()) + "\n");
    LoadSettings();
    settingsRecord().COMSelected = 1;
}

void TestE2eStatus::knownReport_data()
{
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<Texts>("texts"); // Text1, Text2, Text3, Text4, Text9, ... in field order
    QTest::addColumn<int>("drive");
    QTest::addColumn<Alarms>("alarms"); // Shape1 to Shape5

    const QString inOrder = "Pfwd=123.4W,Pref=5.6W,Tpsu=41C,Tamp=57C,Iamp1=1.1A,Iamp2=2.2A,Iamp3=3.3A,"
                            "Iamp4=4.4A,Uamp1=47.1V,Uamp2=47.2V,Uamp3=47.3V,Uamp4=47.4V,Uptime=0012D:03H:45M,"
                            "Firmware=2.07b,PowerLimit=350W,AlarmCode=21,Audio=K";
    const Texts inOrderTexts { "123.4W", "5.6W", "41C", "57C", "1.1A", "2.2A", "3.3A", "4.4A", "47.1V",
        "47.2V", "47.3V", "47.4V", "0012D:03H:45M", "2.07b", "350W" };
    QTest::newRow("fields in order") << QStringList { "--report", inOrder } << inOrderTexts << int('K') - 48
                                     << Alarms { true, false, true, false, true };

    // The same report in small bursts is read the same way.
    QTest::newRow("in bursts of 7") << QStringList { "--report", inOrder, "--burst", "7", "--burst-gap", "2" }
                                    << inOrderTexts << int('K') - 48
                                    << Alarms { true, false, true, false, true };

    // Another order, a key twice (the first counts), an empty value, a value that is no number.
    const QString shuffled = "Audio=d,AlarmCode=10,PowerLimit=9999W,Firmware=-------,Uptime=0000D:00H:05M,"
                             "Uamp4=,Uamp3=48.0V,Uamp2=48.0V,Uamp1=48.0V,Iamp4=0.5A,Iamp3=0.5A,Iamp2=0.5A,"
                             "Iamp1=0.5A,Tamp=hot,Tpsu=30C,Pref=0.0W,Pfwd=75.0W,Pfwd=1.0W,";
    QTest::newRow("shuffled") << QStringList { "--report", shuffled }
                              << Texts { "75.0W", "0.0W", "30C", "hot", "0.5A", "0.5A", "0.5A", "0.5A",
                                     "48.0V", "48.0V", "48.0V", "", "0000D:00H:05M", "-------", "9999W" }
                              << int('d') - 48 << Alarms { false, true, false, true, false };
}

void TestE2eStatus::knownReport()
{
    QFETCH(QStringList, simArgs);
    QFETCH(Texts, texts);
    QFETCH(int, drive);
    QFETCH(Alarms, alarms);

    SimProcess sim;
    QVERIFY2(sim.start(simArgs), sim.stderrText().constData());
    usePort(sim);
    Panel panel;
    QCOMPARE(panel.texts().size(), report::kTextFields);
    QVERIFY(panel.texts() != texts); // the initial display differs, so the comparisons below mean something

    QVERIFY(panel.read());
    QCOMPARE(panel.missing, 0);
    QCOMPARE(panel.link.openDevicePath(), sim.linkPath());
    QCOMPARE(panel.texts(), texts);
    QCOMPARE(panel.monitor.display().driveLevel, drive);
    QCOMPARE(panel.alarms(), alarms);
    QVERIFY(panel.monitor.buffer().isEmpty());

    // On the wire: exactly the status request, with the line set up as the transmitter expects.
    QVERIFY(sim.waitForRecords("frame", 1));
    const QList<QJsonObject> frames = sim.frames();
    QCOMPARE(frames.size(), 1);
    QCOMPARE(frames[0]["hex"].toString(), QString("00464d012002"));
    QVERIFY(sim.logRecords("malformed").isEmpty());
    QVERIFY(sim.logRecords("wrong-line").isEmpty());
    QCOMPARE(sim.state()["line"].toObject()["text"].toString(), QString("9600 8N1"));
}

void TestE2eStatus::liveReportFollowsTheBoard()
{
    SimProcess sim;
    QVERIFY2(sim.start(), sim.stderrText().constData());
    usePort(sim);
    Panel panel;

    QVERIFY(panel.read());
    const Texts first = panel.texts();
    QCOMPARE(first[14], QString("300W")); // PowerLimit
    QCOMPARE(first[12], QString("0000D:00H:00M"));
    QCOMPARE(panel.alarms(), (Alarms { false, false, false, false, false }));

    // Half power, stored on the board, and a hot amplifier: the next reading shows both.
    flush(panel, frames::frame(frames::Command::FO, char(4 + 50)));
    flush(panel, frames::storeSettings());
    bool ok = false;
    sim.command("set tamp 85", &ok);
    QVERIFY(ok);
    QVERIFY(panel.read());

    const QJsonObject state = sim.state();
    QCOMPARE(state["stored"].toObject()["FO"].toInt(), 54);
    QCOMPARE(panel.texts()[0], QString("150.0W"));
    QCOMPARE(panel.texts()[3], QString("85C"));
    QCOMPARE(panel.monitor.display().driveLevel, 50);
    // The board's own amplifier alarm level is 80 degC: only "AMP T   ALARM" lights.
    QCOMPARE(panel.alarms(), (Alarms { true, false, false, false, false }));
    QCOMPARE(state["alarmCode"].toInt(), 1);
}

void TestE2eStatus::readingGoesOnAfterReplug()
{
    SimProcess sim;
    QVERIFY2(sim.start({ "--report", "Pfwd=1.0W,AlarmCode=00,Audio=0" }), sim.stderrText().constData());
    usePort(sim);
    Panel panel;
    QVERIFY(panel.read());
    QCOMPARE(panel.texts()[0], QString("1.0W"));

    QSignalSpy failures(&panel.link, &TransmitterLink::failed);
    QVERIFY(sim.unplug());
    QVERIFY(failures.count() > 0 || failures.wait(5000));
    QCOMPARE(failures.first().first().value<LinkFailure>(), LinkFailure::Lost);
    QVERIFY(!panel.link.isOpen());

    // While unplugged the stored port is missing; after the replug the next request's port check
    // opens the new device behind the same name.
    panel.session.readStatus();
    QCOMPARE(panel.missing, 1);
    bool ok = false;
    sim.command("report Pfwd=2.0W,AlarmCode=04,Audio=0", &ok);
    QVERIFY(ok);
    QVERIFY(sim.replug());
    QVERIFY(panel.read());
    QCOMPARE(panel.texts()[0], QString("2.0W"));
    QCOMPARE(panel.alarms(), (Alarms { false, false, true, false, false }));
}

QTEST_GUILESS_MAIN(TestE2eStatus)
#include "tst_e2e_status.moc"
