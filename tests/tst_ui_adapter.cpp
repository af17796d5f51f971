// A panel that lives with real adapters: pulled out and plugged in again while the port is open,
// held by another program, and a second copy of the panel started by mistake. The simulator's
// "unplug" closes its pseudo-terminal and removes the stable name, "replug" puts a new one behind it.
#include "ui/single_instance.h"

#include "support/child_process.h"
#include "support/pty_pair.h"
#include "support/sim_process.h"
#include "support/ui/panel_window.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QPushButton>
#include <QSerialPort>
#include <QtTest>

Q_DECLARE_METATYPE(LinkFailure)

class TestUiAdapter : public WindowTest
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QList<QProcess *> m_panels;

    static QByteArray storeFor(const QString &com1, bool autoRead)
    {
        return storeText(com1,
            QByteArray("COMSelected=1\nAutoRead=") + (autoRead ? "True" : "False") + "\nTrayAtStart=False\n");
    }

    // The window on COM 1 = `device`, with the 1 s timer stopped: ticks are driven by hand.
    void startForm(const QString &device, bool autoRead = true)
    {
        m_form.start(storeFor(device, autoRead), PanelWindow::ManualTicks);
    }

    // A copy of the real program, offscreen, on the store under `configHome`.
    QProcess *startPanel(const QString &configHome)
    {
        auto *panel = new QProcess(this);
        panel->setProcessEnvironment(panelEnvironment(configHome, configHome));
        panel->setProgram(QStringLiteral(VALTRONA_PANEL_PATH));
        panel->start();
        m_panels << panel;
        panel->waitForStarted(10000);
        return panel;
    }

    // A store of its own under a fresh folder, its COM 1 on a path where nothing is.
    QString makeConfigHome(const QString &name)
    {
        const QString home = m_dir.filePath(name);
        QDir().mkpath(home + QStringLiteral("/ZTK Electronics"));
        QFile store(home + QStringLiteral("/ZTK Electronics/ValtronaAmp+.ini"));
        if (store.open(QIODevice::WriteOnly))
            store.write(storeFor(m_dir.filePath(QStringLiteral("nothing-here")), false));
        return home;
    }

    static QString serverOf(const QString &configHome)
    {
        return SingleInstance::serverName(configHome + QStringLiteral("/ZTK Electronics/ValtronaAmp+.ini"));
    }

    static bool serving(const QString &server)
    {
        QLocalSocket socket;
        socket.connectToServer(server);
        return socket.waitForConnected(500);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        qRegisterMetaType<LinkFailure>();
    }

    void cleanup()
    {
        closeWindow();
        for (QProcess *panel : m_panels) {
            panel->kill();
            panel->waitForFinished(3000);
            delete panel;
        }
        m_panels.clear();
        QApplication::processEvents();
    }

    // Twenty times: a report, the adapter pulled out (noticed, port closed, told in the status bar,
    // at most one message box however many ticks see the missing port), plugged in again, and the
    // next tick's report comes through on the new device.
    void survivesUnplugAndReplug()
    {
        SimProcess sim;
        QVERIFY2(sim.start(), sim.stderrText().constData());
        startForm(sim.linkPath());
        QVERIFY(m_form->session().link().isOpen());
        QSignalSpy reports(&m_form->session().monitor(), &StatusMonitor::displayChanged);

        for (int cycle = 0; cycle < 20; ++cycle) {
            const QByteArray where = "cycle " + QByteArray::number(cycle);
            const QString device = sim.devicePath();
            const int before = int(reports.size());
            m_form->Timer1_Timer();
            QVERIFY2(waitUntil([&] { return reports.size() > before; }, 5000), where);

            QVERIFY2(sim.unplug(), where);
            QVERIFY2(waitUntil([&] { return !m_form->session().link().isOpen(); }, 5000), where);
            const QString lost = m_form->statusText();
            QVERIFY2(lost.contains(QLatin1String("lost")) && lost.contains(sim.linkPath()), qPrintable(lost));

            for (int tick = 0; tick < 4; ++tick) {
                m_form->Timer1_Timer();
                QApplication::processEvents();
            }
            QVERIFY2(waitUntil([] { return !missingPortBoxes().isEmpty(); }, 3000), where);
            QTest::qWait(20);
            QCOMPARE(missingPortBoxes().size(), 1);
            missingPortBoxes().first()->button(QMessageBox::Ok)->click();
            // Told once for this port: ticks after the operator's OK stay quiet.
            m_form->Timer1_Timer();
            QTest::qWait(20);
            QVERIFY2(missingPortBoxes().isEmpty(), where);
            QVERIFY(!m_form->session().link().isOpen());

            QVERIFY2(sim.replug(), where);
            QVERIFY2(sim.devicePath() != device, where);
            const int beforeReplug = int(reports.size());
            m_form->Timer1_Timer();
            QVERIFY2(m_form->session().link().isOpen(), where);
            QVERIFY2(waitUntil([&] { return reports.size() > beforeReplug; }, 5000), where);
        }
        QVERIFY(missingPortBoxes().isEmpty());
    }

    // A port layer that reads nothing from an unplugged adapter, instead of failing, would leave the
    // link open on a dead device; the next write finds the device gone from its name. Here the
    // request comes before the event loop has seen the read error.
    void lossFoundByTheNextWrite()
    {
        PtyPair pty(m_dir.filePath(QStringLiteral("by-id-adapter")));
        QVERIFY(pty.isValid());
        startForm(pty.path(), false);
        QVERIFY(m_form->session().link().isOpen());
        QSignalSpy failures(&m_form->session().link(), &TransmitterLink::failed);

        pty.unplug();
        m_form->Command4_Click();
        QVERIFY(!m_form->session().link().isOpen());
        QVERIFY(!failures.isEmpty());
        QCOMPARE(failures.first().at(0).value<LinkFailure>(), LinkFailure::Lost);

        QVERIFY(pty.replug());
        m_form->Command4_Click();
        QVERIFY(m_form->session().link().isOpen());
        QCOMPARE(pty.waitForWritten(6).toHex(' '), QByteArray("00 46 4d 01 20 02"));
    }

    // Another program holds the port at start: the status bar says so; it is no missing port.
    void heldPortIsToldInTheStatusBar()
    {
        PtyPair pty(m_dir.filePath(QStringLiteral("held-adapter")));
        QVERIFY(pty.isValid());
        QSerialPort holder(pty.path());
        QVERIFY(holder.open(QIODevice::ReadWrite));
        startForm(pty.path(), false);
        QVERIFY(!m_form->session().link().isOpen());
        const QString status = m_form->statusText();
        QVERIFY2(status.contains(QLatin1String("in use by another program")), qPrintable(status));
        QVERIFY2(status.contains(pty.path()), qPrintable(status));
        QTest::qWait(100);
        QVERIFY(missingPortBoxes().isEmpty());

        holder.close();
        m_form->Command4_Click();
        QVERIFY(m_form->session().link().isOpen());
    }

    void secondCopyOnTheSameStoreHandsOver()
    {
        const QString home = makeConfigHome(QStringLiteral("same"));
        QProcess *first = startPanel(home);
        QVERIFY(waitUntil([&] { return serving(serverOf(home)); }, 15000));

        QProcess *second = startPanel(home);
        QVERIFY(second->waitForFinished(15000));
        QCOMPARE(second->exitStatus(), QProcess::NormalExit);
        QCOMPARE(second->exitCode(), 0);
        // It says so only after the first copy answered that its window is on screen.
        const QByteArray said = second->readAllStandardError();
        QVERIFY2(said.contains("already running") && said.contains("brought to the front"), said.constData());
        QCOMPARE(first->state(), QProcess::Running);
        QVERIFY(serving(serverOf(home)));
    }

    void copiesWithOtherStoresRunSideBySide()
    {
        const QString homeA = makeConfigHome(QStringLiteral("a"));
        const QString homeB = makeConfigHome(QStringLiteral("b"));
        QVERIFY(serverOf(homeA) != serverOf(homeB));
        QProcess *first = startPanel(homeA);
        QVERIFY(waitUntil([&] { return serving(serverOf(homeA)); }, 15000));
        QProcess *second = startPanel(homeB);
        QVERIFY(waitUntil(
            [&] { return serving(serverOf(homeB)) || second->state() != QProcess::Running; }, 15000));
        QCOMPARE(second->state(), QProcess::Running);
        QCOMPARE(first->state(), QProcess::Running);
    }

    // A copy killed outright leaves its socket behind; the next start must not take it for a
    // running copy, nor fail to serve.
    void killedCopyLeavesNoObstacle()
    {
        const QString home = makeConfigHome(QStringLiteral("killed"));
        const QString server = serverOf(home);
        QProcess *first = startPanel(home);
        QVERIFY(waitUntil([&] { return serving(server); }, 15000));
        first->kill();
        QVERIFY(first->waitForFinished(5000));
        QVERIFY(QFileInfo::exists(QDir(QDir::tempPath()).filePath(server))); // the leftover
        QVERIFY(!serving(server));

        QProcess *next = startPanel(home);
        QVERIFY(waitUntil([&] { return serving(server) || next->state() != QProcess::Running; }, 15000));
        QCOMPARE(next->state(), QProcess::Running);

        // And it is the one that answers a further copy.
        QProcess *third = startPanel(home);
        QVERIFY(third->waitForFinished(15000));
        QCOMPARE(third->exitCode(), 0);
        QCOMPARE(next->state(), QProcess::Running);
    }

    void cleanupTestCase()
    {
        // Panels killed by the tests leave their sockets (and, killed early, their start-up locks) in
        // the temporary folder.
        for (const QString &name :
            { QStringLiteral("same"), QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("killed") }) {
            const QString server = serverOf(m_dir.filePath(name));
            QLocalServer::removeServer(server);
            QFile::remove(QDir(QDir::tempPath()).filePath(server + QStringLiteral(".lock")));
        }
    }
};

QTEST_MAIN(TestUiAdapter)
#include "tst_ui_adapter.moc"
