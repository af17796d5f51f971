// The window through the faults of a panel left running for weeks: a settings store that cannot be
// written (read-only, a folder that cannot be made, a full disk) or that holds random bytes, and a
// serial adapter pulled out during a status request, the settings download and the port setup
// dialog. Each time the panel runs on, tells the operator once, keeps what it holds in memory, and
// carries on once the fault is gone.
//
// Root ignores file modes, so as root the read-only store and the full disk are a small tmpfs
// mounted on the store's folder (remounted read-only, or filled up); elsewhere the read-only store
// is file modes and the full disk is skipped.
#include "ui/frm_setup.h"

#include "settings/record.h"
#include "settings/store.h"
#include "support/sim_process.h"
#include "support/ui/panel_window.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QSlider>
#include <QStatusBar>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <sys/mount.h>
#include <unistd.h>

namespace {

enum class StoreFault { ReadOnly, FolderBlocked, DiskFull };

// A report whose texts name `tag`, so the display shows which report it came from.
QByteArray taggedReport(const QByteArray &tag)
{
    const QByteArray fixed = "Iamp1=1A,Iamp2=2A,Iamp3=3A,Iamp4=4A,Uamp1=1V,Uamp2=2V,Uamp3=3V,Uamp4=4V,";
    return "Pfwd=" + tag + "-fwd,Pref=" + tag + "-ref,Tpsu=" + tag + "-tpsu,Tamp=" + tag + "-tamp," + fixed
        + "Uptime=" + tag + "-up,Firmware=" + tag + "-fw,PowerLimit=" + tag + "-limit,AlarmCode=00,Audio=0";
}

} // namespace

Q_DECLARE_METATYPE(StoreFault)

class TestUiFaults : public WindowTest
{
    Q_OBJECT

    SimProcess m_sim;
    QByteArray m_mount; // the tmpfs on the store's folder, while one is mounted
    QString m_filler;

    QString folder() const { return m_home.configHome() + QStringLiteral("/ZTK Electronics"); }
    QByteArray storeText(const QByteArray &record) const { return ::storeText(m_sim.linkPath(), record); }
    QString shown(const char *box) const { return find<QLineEdit>(box)->text(); }

    void simCommand(const QString &line) { m_sim.require(line); }

    void startForm(const QByteArray &record = "AutoRead=False\nTrayAtStart=False\n")
    {
        m_form.start(storeText(record), PanelWindow::LinkOpen | PanelWindow::InFront);
    }

    static QList<QMessageBox *> boxes(const char *name) { return shownMessageBoxes(name); }
    static void closeBoxes(const char *name) { acknowledgeMessageBoxes(name); }

    int framesOf(const QString &command) const { return m_sim.framesOf(command); }

    // The record's group as stored, read from a copy by another INI reader.
    QMap<QString, QString> stored() const { return storedRecord(); }

    // A status reading goes through and shows the report tagged `tag`.
    void readStatusShows(const QByteArray &tag)
    {
        simCommand("report " + QString::fromLatin1(taggedReport(tag)));
        find<QPushButton>("Command4")->click();
        QVERIFY2(waitUntil([&] { return shown("Text11") == QString::fromLatin1(tag + "-limit"); }, 5000),
            qPrintable(shown("Text11")));
    }

    bool mountSmallDisk()
    {
        QDir().mkpath(folder());
        const QByteArray target = QFile::encodeName(folder());
        if (::mount("tmpfs", target.constData(), "tmpfs", 0, "size=64k,mode=0755") != 0)
            return false;
        m_mount = target;
        return true;
    }

    bool remount(bool readOnly)
    {
        const unsigned long flags = MS_REMOUNT | (readOnly ? MS_RDONLY : 0);
        return ::mount("tmpfs", m_mount.constData(), "tmpfs", flags, "size=64k,mode=0755") == 0;
    }

    bool inject(StoreFault fault)
    {
        switch (fault) {
        case StoreFault::ReadOnly:
            if (!m_mount.isEmpty())
                return remount(true);
            return QFile::setPermissions(m_home.storeFile(), QFile::ReadOwner | QFile::ReadGroup)
                && QFile::setPermissions(folder(), QFile::ReadOwner | QFile::ExeOwner);
        case StoreFault::FolderBlocked: {
            // The folder has gone and a file holds its name: it cannot be made again.
            m_home.removeStore();
            QFile blocker(folder());
            return blocker.open(QIODevice::WriteOnly) && blocker.write("not a folder\n") > 0;
        }
        case StoreFault::DiskFull: {
            m_filler = folder() + QStringLiteral("/filler");
            QFile filler(m_filler);
            if (!filler.open(QIODevice::WriteOnly))
                return false;
            const QByteArray block(512, 'x');
            while (filler.write(block) == block.size() && filler.flush()) { }
            return true;
        }
        }
        return false;
    }

    void clear(StoreFault fault)
    {
        switch (fault) {
        case StoreFault::ReadOnly:
            if (!m_mount.isEmpty()) {
                QVERIFY(remount(false));
            } else {
                QVERIFY(
                    QFile::setPermissions(folder(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
                QVERIFY(QFile::setPermissions(m_home.storeFile(), QFile::ReadOwner | QFile::WriteOwner));
            }
            break;
        case StoreFault::FolderBlocked:
            QVERIFY(QFile::remove(folder()));
            break;
        case StoreFault::DiskFull:
            QVERIFY(QFile::remove(m_filler));
            break;
        }
    }

private slots:
    void initTestCase() { QVERIFY2(m_sim.start(), m_sim.stderrText().constData()); }

    void init()
    {
        simCommand("silent off");
        simCommand("burst 0");
        m_home.removeStore();
        QFile::remove(folder());
        // A failing episode a failed test left open would hide the next one's start.
        if (SettingsStore::instance().isFailing()) {
            SettingsRecord defaults;
            SettingsStore::instance().load(defaults);
            QVERIFY(SettingsStore::instance().save(defaults));
            m_home.removeStore();
        }
    }

    void cleanup()
    {
        closeWindow();
        if (!m_mount.isEmpty()) {
            remount(false);
            m_home.removeStore();
            ::umount2(m_mount.constData(), MNT_DETACH);
            m_mount.clear();
        }
        QFile::setPermissions(folder(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QFile::remove(folder());
        m_home.removeStore();
    }

    void storeFault_data()
    {
        QTest::addColumn<StoreFault>("fault");
        QTest::addColumn<bool>("atStart");
        QTest::newRow("read-only store, at start") << StoreFault::ReadOnly << true;
        QTest::newRow("read-only store, while running") << StoreFault::ReadOnly << false;
        QTest::newRow("folder cannot be made, at start") << StoreFault::FolderBlocked << true;
        QTest::newRow("folder cannot be made, while running") << StoreFault::FolderBlocked << false;
        QTest::newRow("full disk, at start") << StoreFault::DiskFull << true;
        QTest::newRow("full disk, while running") << StoreFault::DiskFull << false;
    }

    void storeFault()
    {
        QFETCH(StoreFault, fault);
        QFETCH(bool, atStart);
        const bool smallDisk
            = fault == StoreFault::DiskFull || (fault == StoreFault::ReadOnly && geteuid() == 0);
        if (smallDisk && !mountSmallDisk())
            QSKIP(qPrintable(QStringLiteral("no tmpfs can be mounted here (%1)").arg(strerror(errno))));
        m_home.writeStore(
            storeText("AutoRead=True\nTrayAtStart=False\nCurrentAlarm=1\nTXPower=20\nTXStereo=1\n"));
        SettingsStore &store = SettingsStore::instance();
        QSignalSpy failed(&store, &SettingsStore::saveFailed);
        QSignalSpy recovered(&store, &SettingsStore::saveRecovered);

        if (atStart)
            QVERIFY(inject(fault));
        m_form.create();
        int toldInStatusBar = 0;
        connect(m_form->statusBar(), &QStatusBar::messageChanged, this, [&](const QString &text) {
            toldInStatusBar += text.startsWith("The settings could not be saved");
        });
        m_form->start();
        QVERIFY(m_form->isVisible());
        if (!atStart) {
            QCOMPARE(failed.count(), 0);
            QVERIFY(inject(fault));
        }
        const QByteArray onDisk = m_home.storeBytes();

        // The operator goes on working; every one of these saves fails.
        find<QCheckBox>("Check1")->setChecked(false);
        find<QComboBox>("Combo14")->setCurrentIndex(4);
        find<QSlider>("Slider1")->setValue(55);
        find<QRadioButton>("Option31")->setChecked(true);
        find<QLineEdit>("Text7")->setText("FAULT MEANWHILE");
        m_form->Text7_LostFocus();
        QVERIFY(waitUntil([] { return boxes("SaveFailureMessage").size() == 1; }, 3000));
        QCOMPARE(failed.count(), 1);
        QCOMPARE(toldInStatusBar, 1);

        // Once told is enough for the episode, even after the operator has closed the message.
        closeBoxes("SaveFailureMessage");
        find<QComboBox>("Combo10")->setCurrentIndex(3);
        QTest::qWait(100);
        QCOMPARE(boxes("SaveFailureMessage").size(), 0);
        QCOMPARE(failed.count(), 1);
        QCOMPARE(m_home.storeBytes(), onDisk); // what is on disk stays whole meanwhile

        // The panel runs on: a status reading goes through. A folder that is gone at start takes the
        // port map with it, so there COM 1 is the built-in device, whatever this machine has there.
        QVERIFY(m_form->timer1().isActive());
        if (!(fault == StoreFault::FolderBlocked && atStart))
            readStatusShows("during");

        // The fault goes; the next change saves everything changed meanwhile.
        clear(fault);
        find<QComboBox>("Combo12")->setCurrentIndex(2);
        QCOMPARE(recovered.count(), 1);
        QCOMPARE(m_form->statusText(), QString("The settings are saved again."));
        const QMap<QString, QString> values = stored();
        QCOMPARE(values.size(), 265);
        QCOMPARE(values.value("AutoRead"), QString("False"));
        QCOMPARE(values.value("CurrentAlarm"), QString("4"));
        QCOMPARE(values.value("TXPower"), QString("55"));
        QCOMPARE(values.value("TXStereo"), QString("0"));
        QCOMPARE(values.value("LogoLine1"), QString("FAULT MEANWHILE "));
        QCOMPARE(values.value("Treble"), QString("3"));
        QCOMPARE(values.value("Bass"), QString("2"));
        QCOMPARE(failed.count(), 1);
        QCOMPARE(toldInStatusBar, 1);
        if (fault != StoreFault::FolderBlocked) // there the folder went with the file in it
            QCOMPARE(store.groupValue("Ports", "COM1"), m_sim.linkPath());
    }

    // Opening the port setup dialog reads the store again; while saves fail the store holds older
    // values than the window, and those must not come back over the operator's changes.
    void setupDialogWhileSavesFail()
    {
        startForm("AutoRead=False\nTrayAtStart=False\nCurrentAlarm=1\n");
        QVERIFY(inject(StoreFault::FolderBlocked));
        find<QComboBox>("Combo14")->setCurrentIndex(5);
        find<QSlider>("Slider1")->setValue(66);
        QVERIFY(waitUntil([] { return boxes("SaveFailureMessage").size() == 1; }, 3000));
        closeBoxes("SaveFailureMessage");

        m_form->findChild<QAction *>("SetupMnu")->trigger();
        auto *dialog = m_form->findChild<FrmSetup *>("FrmSetup");
        QVERIFY(dialog);
        QVERIFY(waitUntil([&] { return QApplication::activeWindow() == dialog; }, 3000));
        dialog->Command1_Click();
        QVERIFY(!dialog->isVisible());
        m_form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_form.get()));
        closeBoxes("SaveFailureMessage");

        clear(StoreFault::FolderBlocked);
        find<QComboBox>("Combo10")->setCurrentIndex(3);
        const QMap<QString, QString> values = stored();
        QCOMPARE(values.value("CurrentAlarm"), QString("5"));
        QCOMPARE(values.value("TXPower"), QString("66"));
        QCOMPARE(values.value("Treble"), QString("3"));
        QCOMPARE(find<QComboBox>("Combo14")->currentIndex(), 5);
    }

    void storeOfRandomBytes_data()
    {
        QTest::addColumn<quint32>("seed");
        for (quint32 seed : { 1u, 2u, 3u })
            QTest::addRow("seed %u", seed) << seed;
    }

    // Random bytes in front of a readable port map: the panel starts on the line, says once that the
    // file is damaged, and its first save keeps the damaged file aside, says where, and puts a whole
    // record in place of the damage.
    void storeOfRandomBytes()
    {
        QFETCH(quint32, seed);
        QRandomGenerator random(seed);
        QByteArray noise(4096, '\0');
        for (char &c : noise)
            c = char(random.bounded(256));
        m_home.writeStore(noise + "\n[Ports]\nCOM1=" + m_sim.linkPath().toUtf8() + "\n");

        SettingsStore &store = SettingsStore::instance();
        QSignalSpy problems(&store, &SettingsStore::loadProblem);
        m_form.create();
        int told = 0;
        connect(m_form->statusBar(), &QStatusBar::messageChanged, this,
            [&](const QString &text) { told += text.startsWith("The settings file"); });
        m_form->start();
        QCOMPARE(problems.count(), 2);
        QVERIFY2(problems.at(1).at(0).toString().contains(m_home.storeFile() + ".damaged-"),
            qPrintable(problems.at(1).at(0).toString()));
        QCOMPARE(told, 2);
        QVERIFY(m_form->isVisible());
        QVERIFY(m_form->session().link().isOpen());
        m_form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_form.get()));
        find<QComboBox>("Combo14")->setCurrentIndex(4);
        readStatusShows("noise");

        SettingsRecord loaded;
        QVERIFY(store.load(loaded));
        QCOMPARE(loaded.CurrentAlarm, qint16(4));
        QCOMPARE(stored().size(), 265);

        // The next start has nothing to tell.
        m_form.reset();
        problems.clear();
        m_form.create();
        m_form->start();
        QCOMPARE(problems.count(), 0);
        QCOMPARE(find<QComboBox>("Combo14")->currentIndex(), 4);
    }

    void unplugDuringStatusRequest_data()
    {
        QTest::addColumn<bool>("partial"); // part of the answer is in when the line goes
        QTest::addColumn<bool>("autoRead");
        QTest::newRow("before the answer") << false << false;
        QTest::newRow("in the middle of the answer") << true << false;
        QTest::newRow("auto-read, before the answer") << false << true;
        QTest::newRow("auto-read, in the middle of the answer") << true << true;
    }

    void unplugDuringStatusRequest()
    {
        QFETCH(bool, partial);
        QFETCH(bool, autoRead);
        startForm(autoRead ? "AutoRead=True\nTrayAtStart=False\n" : "AutoRead=False\nTrayAtStart=False\n");
        simCommand("report " + QString::fromLatin1(taggedReport("A")));
        simCommand(partial ? "burst 16 150" : "silent on");
        const int requests = framesOf("FM");
        if (!autoRead)
            find<QPushButton>("Command4")->click();
        QVERIFY(waitUntil([&] { return framesOf("FM") > requests; }, 3000));
        if (partial)
            QVERIFY(waitUntil([&] { return !m_form->session().monitor().buffer().isEmpty(); }, 3000));

        QVERIFY(m_sim.unplug());
        QVERIFY(waitUntil([&] { return !m_form->session().link().isOpen(); }, 3000));
        QVERIFY2(m_form->statusText().contains(m_sim.linkPath()), qPrintable(m_form->statusText()));

        // While the adapter is out the operator hears of it once, by a request or by the ticks.
        if (!autoRead)
            find<QPushButton>("Command4")->click();
        QVERIFY(waitUntil([] { return boxes("MissingPortMessage").size() == 1; }, 3000));
        if (autoRead) {
            QTest::qWait(2200);
            QCOMPARE(boxes("MissingPortMessage").size(), 1);
        }
        QVERIFY(m_form->isVisible());

        simCommand("burst 0");
        simCommand("silent off");
        simCommand("report " + QString::fromLatin1(taggedReport("B")));
        QVERIFY(m_sim.replug());
        QSignalSpy reports(&m_form->session().monitor(), &StatusMonitor::displayChanged);
        closeBoxes("MissingPortMessage");

        // The next reading gets through. An answer cut short stays in front of it, and where both
        // hold a field the older text wins; the reading after that is the new report alone.
        if (!autoRead)
            find<QPushButton>("Command4")->click();
        QVERIFY(waitUntil([&] { return reports.count() >= 1; }, 5000));
        QCOMPARE(shown("Text11"), QString("B-limit"));
        QCOMPARE(shown("Text1"), QString(partial ? "A-fwd" : "B-fwd"));
        if (!autoRead)
            find<QPushButton>("Command4")->click();
        QVERIFY(waitUntil([&] { return reports.count() >= 2; }, 5000));
        QCOMPARE(shown("Text1"), QString("B-fwd"));
        QCOMPARE(shown("Text2"), QString("B-ref"));
        QCOMPARE(shown("Text14"), QString("B-fw"));
        QVERIFY(m_form->session().link().isOpen());
        QVERIFY(boxes("MissingPortMessage").isEmpty());
    }

    void unplugDuringAmplifierDownload_data()
    {
        QTest::addColumn<bool>("backAtOnce"); // replugged before the next frame is due
        QTest::newRow("adapter out until after the download") << false;
        QTest::newRow("adapter back before the next frame") << true;
    }

    void unplugDuringAmplifierDownload()
    {
        QFETCH(bool, backAtOnce);
        startForm("AutoRead=False\nTrayAtStart=False\nTXPower=50\n");
        const QStringList script { "FO", "FAS", "FAT", "FAU", "FAC", "FAA", "FW" };
        auto commandsSince = [&](qsizetype from) {
            QStringList commands;
            for (const QJsonObject &f : m_sim.frames().mid(from))
                commands << f.value("command").toString();
            return commands;
        };

        const qsizetype before = m_sim.frames().size();
        find<QPushButton>("Command16")->click();
        QVERIFY(m_form->session().runner().isRunning());
        QVERIFY(m_sim.waitForRecords("frame", int(before) + 2, 3000));
        QVERIFY(m_sim.unplug());
        if (backAtOnce)
            QVERIFY(m_sim.replug());

        // The download stops at the lost line: whole frames, in order, fewer than all of them.
        QVERIFY(waitUntil([&] { return !m_form->session().runner().isRunning(); }, 5000));
        const QStringList sent = commandsSince(before);
        QVERIFY2(
            sent.size() < script.size() && sent == script.mid(0, sent.size()), qPrintable(sent.join(' ')));
        QCOMPARE(m_sim.logRecords("malformed").size(), 0);
        for (const char *name : { "Command4", "Command16", "Command9" })
            QVERIFY2(find<QPushButton>(name)->isEnabled(), name);
        QCOMPARE(find<QProgressBar>("ProgressBar1")->value(), 0);
        QVERIFY(m_form->statusText() != QString("Ready"));

        if (!backAtOnce)
            QVERIFY(m_sim.replug());
        readStatusShows("after-download");

        // And the whole download goes through again.
        const int stores = m_sim.state().value("storeCount").toInt();
        const qsizetype again = m_sim.frames().size();
        find<QPushButton>("Command16")->click();
        QVERIFY(waitUntil([&] { return !m_form->session().runner().isRunning(); }, 10000));
        QVERIFY(m_sim.waitForRecords("frame", int(again) + 7, 3000));
        QCOMPARE(commandsSince(again), script);
        const QJsonObject state = m_sim.state();
        QCOMPARE(state.value("storeCount").toInt(), stores + 1);
        QCOMPARE(state.value("stored").toObject().value("FO").toInt(), 54);
        QCOMPARE(m_form->statusText(), QString("Ready"));
    }

    void unplugDuringSetupDialog_data()
    {
        QTest::addColumn<bool>("pickWhileOut");
        QTest::addColumn<bool>("pickWhenBack");
        QTest::newRow("picked while out, picked again when back") << true << true;
        QTest::newRow("picked when back") << false << true;
        QTest::newRow("closed when back without a pick") << false << false;
    }

    void unplugDuringSetupDialog()
    {
        QFETCH(bool, pickWhileOut);
        QFETCH(bool, pickWhenBack);
        startForm();
        m_form->findChild<QAction *>("SetupMnu")->trigger();
        auto *dialog = m_form->findChild<FrmSetup *>("FrmSetup");
        QVERIFY(dialog);
        QVERIFY(QTest::qWaitForWindowActive(dialog));
        QVERIFY(waitUntil([&] { return QApplication::activeWindow() == dialog; }, 3000));
        QVERIFY(!m_form->session().link().isOpen()); // the dialog in front: the port is let go
        auto pick = [&] {
            dialog->combo()->setCurrentIndex(0); // "COM 1"
            dialog->Combo2_Click();
        };

        QVERIFY(m_sim.unplug());
        if (pickWhileOut) {
            pick();
            QVERIFY(waitUntil([] { return boxes("MissingPortMessage").size() == 1; }, 3000));
            QVERIFY(!m_form->session().link().isOpen());
            closeBoxes("MissingPortMessage");
        }
        QVERIFY(m_sim.replug());
        if (pickWhenBack) {
            pick();
            QVERIFY(m_form->session().link().isOpen());
            QCOMPARE(m_form->session().link().openDevicePath(), m_sim.linkPath());
        }
        dialog->Command1_Click();
        QVERIFY(!dialog->isVisible());
        m_form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_form.get()));

        readStatusShows("after-setup");
        QVERIFY(m_form->session().link().isOpen());
        QCOMPARE(settingsRecord().COMSelected, qint16(1));
        QTest::qWait(50);
        QVERIFY(boxes("MissingPortMessage").isEmpty());
    }
};

QTEST_MAIN(TestUiFaults)
#include "tst_ui_faults.moc"
