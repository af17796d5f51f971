// The window's rules for the wire, against the transmitter simulator on a pseudo-terminal: closing the
// window never cuts a frame and writes nothing afterwards, whatever other window is open; the
// auto-read tick follows the "Auto read status" box and nothing else; and whatever the status bar
// shows, accessibility tools can read.
#include "ui/form1.h"
#include "ui/frm_setup.h"

#include "config/scripts.h"
#include "settings/record.h"
#include "support/sim_process.h"
#include "support/test_env.h"

#include <QAccessible>
#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QStatusBar>
#include <QtTest>

#include <QElapsedTimer>
#include <QProcess>
#include <memory>

class TestUiWire : public QObject
{
    Q_OBJECT

    TestStoreHome m_home;
    SimProcess m_sim;
    std::unique_ptr<Form1> m_form;

    template <typename T> T *find(const char *name) const { return m_form->findChild<T *>(name); }

    void startForm(const QByteArray &record)
    {
        m_form.reset();
        m_home.removeStore();
        m_home.writeStore("[Ports]\nCOM1=" + m_sim.linkPath().toUtf8() + "\n\n[ValtronaAmp%2B]\n" + record);
        m_form = std::make_unique<Form1>();
        m_form->start();
        QVERIFY(m_form->session().link().isOpen());
        m_form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_form.get()));
    }

    int framesOf(const QString &command) const
    {
        int n = 0;
        for (const QJsonObject &f : m_sim.frames())
            n += f.value("command").toString() == command;
        return n;
    }

    // Every byte the simulator has read so far.
    QByteArray bytesRead() const
    {
        QByteArray bytes;
        for (const QJsonObject &chunk : m_sim.logRecords(QStringLiteral("chunk")))
            bytes += QByteArray::fromHex(chunk.value("hex").toString().toLatin1());
        return bytes;
    }

    QString accessibleStatus() const
    {
        QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(m_form->statusBar());
        return iface ? iface->text(QAccessible::Name) : QString();
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(m_sim.start(), m_sim.stderrText().constData());
    }

    void cleanup()
    {
        if (m_form && m_form->findChild<FrmSetup *>())
            m_form->findChild<FrmSetup *>()->close();
        m_form.reset();
        QTest::qWait(50);
    }

    // Closing the window in the middle of a download: the window goes at once, the script runs to
    // its end, every frame arrives whole, and the port is let go of afterwards.
    void closeDuringDownloadKeepsFramesWhole_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QStringList>("commands");
        QTest::newRow("Update amplifier") << "Command16"
                                          << QStringList { "FO", "FAS", "FAT", "FAU", "FAC", "FAA", "FW" };
        QTest::newRow("Update Logo text") << "Command9" << QStringList { "FL1", "FL2", "FLS" };
    }
    void closeDuringDownloadKeepsFramesWhole()
    {
        QFETCH(QString, button);
        QFETCH(QStringList, commands);
        startForm("AutoRead=False\nTrayAtStart=False\nLogoLine1=ABCDEFGHIJKLMNOP\nLogoLine2=0123456789abcdef\n");
        const QByteArray before = bytesRead();
        const int framesBefore = int(m_sim.frames().size());
        const bool logo = button == "Command9";
        const auto amplifier = scripts::amplifier(settingsRecord());
        const QByteArray expected = scripts::bytesOf(
            logo ? scripts::logo(settingsRecord()) : std::get<scripts::Script>(amplifier));

        find<QPushButton>(button.toLatin1().constData())->click();
        // Close with the first frame on the wire and the rest to come (the logo's first piece
        // follows a pause of its own, so its frame is cut at that moment).
        QVERIFY(waitUntil([&] { return bytesRead().size() > before.size(); }, 3000));
        QVERIFY(m_form->session().isRunning());
        QVERIFY(m_form->close());
        QVERIFY(!m_form->isVisible());
        QVERIFY(m_form->session().isShutDown());
        QVERIFY(!m_form->session().isReleased());

        QVERIFY(waitUntil([&] { return m_form->session().isReleased(); }, 20000));
        QVERIFY(!m_form->session().link().isOpen());
        QCOMPARE(bytesRead().mid(before.size()), expected);
        QVERIFY(m_sim.waitForRecords(QStringLiteral("frame"), framesBefore + int(commands.size())));
        QStringList seen;
        const QList<QJsonObject> frames = m_sim.frames();
        for (qsizetype i = framesBefore; i < frames.size(); ++i)
            seen << frames[i].value("command").toString();
        QCOMPARE(seen, commands);
        QCOMPARE(m_sim.logRecords(QStringLiteral("malformed")).size(), 0);

        // Nothing more, ever: no tick, no command.
        QTest::qWait(1500);
        QCOMPARE(bytesRead().mid(before.size()), expected);
    }

    // The same in a program of its own, which ends by itself: it does not end before the script has,
    // so no frame is cut at the process's exit.
    void closedProgramEndsAfterTheScript()
    {
        startForm("AutoRead=False\nTrayAtStart=False\nLogoLine1=ABCDEFGHIJKLMNOP\nLogoLine2=0123456789abcdef\n");
        const QByteArray expected = scripts::bytesOf(scripts::logo(settingsRecord()));
        m_form.reset(); // the child takes the port
        QTest::qWait(100);
        const QByteArray before = bytesRead();

        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TST_UI_WIRE_CHILD", "close-during-logo");
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QElapsedTimer clock;
        clock.start();
        child.start(QCoreApplication::applicationFilePath(), {});
        QVERIFY(child.waitForStarted());
        QVERIFY(waitUntil([&] { return child.state() == QProcess::NotRunning; }, 30000));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 0);
        // Thirteen pauses of a second each lie between the first byte and the last.
        QVERIFY2(clock.elapsed() >= 13 * scripts::kLogoPauseMs, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(bytesRead().mid(before.size()), expected);
        QCOMPARE(m_sim.logRecords(QStringLiteral("malformed")).size(), 0);
    }

    // The main window closed while the port setup dialog stays open: no tick, no port choice, no
    // command reopens the port or writes.
    void closingWithTheDialogOpenWritesNothing()
    {
        startForm("AutoRead=True\nTrayAtStart=False\n");
        QVERIFY(waitUntil([&] { return framesOf("FM") > 0; }, 5000));
        m_form->SetupMnu_Click();
        auto *setup = m_form->findChild<FrmSetup *>();
        QVERIFY(setup && setup->isVisible());
        QVERIFY(m_form->close());
        QVERIFY(setup->isVisible());
        QVERIFY(waitUntil([&] { return m_form->session().isReleased(); }, 3000));
        QTest::qWait(100);
        const int read = int(bytesRead().size());

        // Another program's window in front: no window of ours is active, as when the operator has
        // gone to a browser with the dialog left open.
        QApplication::setActiveWindow(nullptr);
        QTest::qWait(2500);
        m_form->Timer1_Timer();
        m_form->Command4_Click();
        m_form->Command16_Click();
        setup->combo()->setCurrentIndex(0);
        setup->Combo2_Click();
        QTest::qWait(300);
        QCOMPARE(int(bytesRead().size()), read);
        QVERIFY(!m_form->session().link().isOpen());
    }

    // The tick looks at the box, not at the record: a store edited by hand and read again by the
    // setup dialog may say AutoRead=True while the box is unticked.
    void untickedBoxWritesNothingWhateverTheRecordHolds()
    {
        startForm("AutoRead=True\nTrayAtStart=False\n");
        QVERIFY(waitUntil([&] { return framesOf("FM") > 0; }, 5000));
        find<QCheckBox>("Check1")->click();
        QVERIFY(!find<QCheckBox>("Check1")->isChecked());
        QVERIFY(!settingsRecord().AutoRead);

        // A hand edit, then the dialog's load reads the store again.
        m_home.writeStore(m_home.storeBytes().replace("AutoRead=False", "AutoRead=True"));
        m_form->SetupMnu_Click();
        auto *setup = m_form->findChild<FrmSetup *>();
        QVERIFY(setup && setup->isVisible());
        setup->Command1_Click();
        QVERIFY(settingsRecord().AutoRead);
        m_form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_form.get()));

        QTest::qWait(100);
        const int before = framesOf("FM");
        QTest::qWait(2500);
        QCOMPARE(framesOf("FM"), before);
        QVERIFY(!find<QCheckBox>("Check1")->isChecked());
    }

    void statusBarTextIsAccessible()
    {
        startForm("AutoRead=False\nTrayAtStart=False\n");
        QCOMPARE(m_form->statusText(), QString("Ready"));
        QCOMPARE(accessibleStatus(), m_form->statusText());

        QStringList seen;
        connect(m_form->statusBar(), &QStatusBar::messageChanged, this, [&] {
            QCOMPARE(accessibleStatus(), m_form->statusText());
            seen << m_form->statusText();
        });
        find<QPushButton>("Command4")->click();
        QVERIFY(seen.contains("Requesting DATA from the transmitter... 60%"));
        QCOMPARE(accessibleStatus(), QString("Ready"));

        // A failure text too: the adapter goes while the window is up.
        QVERIFY(m_sim.unplug());
        QVERIFY(waitUntil([&] { return !m_form->session().link().isOpen(); }, 5000));
        QVERIFY(m_form->statusText().contains(m_sim.linkPath()));
        QCOMPARE(accessibleStatus(), m_form->statusText());
        QVERIFY(m_sim.replug());
    }
};

// The child of closedProgramEndsAfterTheScript: the panel as the operator runs it, who starts the
// logo download and closes the window at its first byte.
int runClosingChild(int argc, char **argv)
{
    QApplication app(argc, argv);
    Form1 form;
    form.start();
    form.activateWindow();
    if (!form.session().link().isOpen())
        return 3;
    QObject::connect(&form.session(), &TransmitterSession::progress, &form, [&form](const QString &, int) {
        if (form.isVisible())
            form.close();
    });
    QTimer::singleShot(100, &form, [&form] { form.Command9_Click(); });
    return app.exec();
}

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet("TST_UI_WIRE_CHILD"))
        return runClosingChild(argc, argv);
    QApplication app(argc, argv);
    TestUiWire test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_ui_wire.moc"
