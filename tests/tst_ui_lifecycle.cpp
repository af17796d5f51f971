#include "ui/tray.h"

#include "support/sim_process.h"
#include "support/ui/panel_window.h"

#include <QComboBox>
#include <QDialog>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QtTest>

// The window's lifecycle on a desktop without a system tray (offscreen): the missing-port message
// at start, the tray button that must not strand the operator, the hand-over to another window of
// the program, and the end of the program.
class TestUiLifecycle : public WindowTest
{
    Q_OBJECT

    SimProcess m_sim;
    QTemporaryDir m_dir;

    void startForm(const QByteArray &port, const QByteArray &record)
    {
        m_form.start(storeText(QString::fromUtf8(port), record));
    }

    void startOnSimulator(const QByteArray &record = "AutoRead=False\nTrayAtStart=False\n")
    {
        m_form.start(storeText(m_sim.linkPath(), record), PanelWindow::LinkOpen | PanelWindow::InFront);
    }

    int storedKeys() { return int(storedRecord().size()); }

    // Runs the application's own event loop until the program quits, or `ms` pass (then -1).
    static int runProgram(int ms)
    {
        QTimer watchdog;
        watchdog.setSingleShot(true);
        QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(-1); });
        watchdog.start(ms);
        return QCoreApplication::exec();
    }

private slots:
    void initTestCase() { QVERIFY2(m_sim.start(), m_sim.stderrText().constData()); }

    void cleanup() { closeWindow(); }

    void missingPortIsToldOnceAtStart()
    {
        // Auto-read is on: its ticks must not pile further messages on the first.
        startForm(m_dir.filePath("no-such-device").toUtf8(), "AutoRead=True\nTrayAtStart=False\n");
        QVERIFY(waitUntil([] { return !missingPortBoxes().isEmpty(); }, 3000));
        QTest::qWait(2200);
        const QList<QMessageBox *> boxes = missingPortBoxes();
        QCOMPARE(boxes.size(), 1);
        QMessageBox *box = boxes.first();
        QCOMPARE(box->windowTitle(), QString("ValtronaAmp+ v4.1"));
        QCOMPARE(box->text(),
                 QString("The selected COM port does not exist, please select another port under File > Setup"));
        QCOMPARE(box->textFormat(), Qt::PlainText);
        QCOMPARE(box->buttons().size(), 1);
        QCOMPARE(box->standardButtons(), QMessageBox::Ok);

        // The program runs on behind it, with the link closed and every list filled.
        QVERIFY(m_form->isVisible());
        QVERIFY(!m_form->session().link().isOpen());
        QCOMPARE(m_form->findChild<QComboBox *>("Combo14")->count(), 98);
        QCOMPARE(m_form->findChild<QComboBox *>("Combo1")->count(), 21);
        QVERIFY(m_form->session().portCheck().messageShowing());

        box->button(QMessageBox::Ok)->click();
        QVERIFY(!m_form->session().portCheck().messageShowing());

        // An explicit command tells it again, even one that comes before the closed box is deleted.
        m_form->findChild<QPushButton *>("Command4")->click();
        QVERIFY(waitUntil([] { return missingPortBoxes().size() == 1; }, 3000));
    }

    // A store that cannot be written is told once per episode, not at every save.
    void failingSavesAreToldOnce()
    {
        startOnSimulator();
        m_home.removeStore();
        QVERIFY(QDir().mkpath(m_home.storeFile())); // a folder where the file belongs: saves fail
        auto *list = m_form->findChild<QComboBox *>("Combo14");
        list->setCurrentIndex(1);
        list->setCurrentIndex(2);
        list->setCurrentIndex(3);
        auto boxes = [] { return int(shownMessageBoxes("SaveFailureMessage").size()); };
        QVERIFY(waitUntil([&] { return boxes() == 1; }, 3000));
        QTest::qWait(100);
        QCOMPARE(boxes(), 1);
        QVERIFY(m_form->statusText() != QString("Ready"));

        // Once saves work again, a later failure is a new episode.
        QVERIFY(QDir(m_home.storeFile()).removeRecursively());
        list->setCurrentIndex(4);
        QVERIFY(!m_home.storeBytes().isEmpty());
        for (QMessageBox *box : shownMessageBoxes("SaveFailureMessage"))
            box->close();
        QVERIFY(waitUntil([&] { return boxes() == 0; }, 3000));
        QFile::remove(m_home.storeFile());
        QVERIFY(QDir().mkpath(m_home.storeFile()));
        list->setCurrentIndex(5);
        QVERIFY(waitUntil([&] { return boxes() == 1; }, 3000));
        QDir(m_home.storeFile()).removeRecursively();
    }

    void withoutTrayTheWindowStaysUp()
    {
        QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable());
        startOnSimulator("AutoRead=False\nTrayAtStart=True\n");
        QVERIFY(m_form->isVisible());
        QVERIFY(!m_form->isInTray());
        auto *systray = m_form->findChild<QPushButton *>("Command2");
        QVERIFY(!systray->isEnabled());
        QVERIFY(!systray->toolTip().isEmpty());
        m_form->Command2_Click();
        QVERIFY(m_form->isVisible());
        QVERIFY(!m_form->tray().isShown());
    }

    void anotherWindowOfOursTakesThePort()
    {
        startOnSimulator();
        // Keep only the port map, so the record's 265 keys on disk afterwards come from the
        // deactivation's save, and the next command still finds the simulator behind COM 1.
        m_home.writeStore("[Ports]\nCOM1=" + m_sim.linkPath().toUtf8() + "\n");
        QCOMPARE(storedKeys(), 0);
        QWidget other;
        other.setWindowTitle("another window of the program");
        other.show();
        other.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&other));
        QVERIFY(!m_form->session().link().isOpen());
        QCOMPARE(storedKeys(), 265);

        // The next command opens it again.
        m_form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_form.get()));
        m_form->findChild<QPushButton *>("Command4")->click();
        QVERIFY(m_form->session().link().isOpen());
        QCOMPARE(QFileInfo(m_form->session().link().openDevicePath()).canonicalFilePath(),
                 QFileInfo(m_sim.linkPath()).canonicalFilePath());
    }

    void setupMenuOpensTheDialog()
    {
        startOnSimulator();
        QAction *setup = m_form->findChild<QAction *>("SetupMnu");
        QVERIFY(setup);
        setup->trigger();
        QWidget *dialog = m_form->findChild<QWidget *>("FrmSetup");
        QVERIFY(dialog);
        // qWaitForWindowActive counts the dialog as active while the main window is: wait for the
        // application's own answer instead.
        QVERIFY(waitUntil([dialog] { return QApplication::activeWindow() == dialog; }, 3000));
        QVERIFY(dialog->isVisible());
        QVERIFY(!m_form->session().link().isOpen());
        QCOMPARE(dialog->windowTitle(), QString("ValtronaAmp+ Setup"));
    }

    void anotherProgramInFrontChangesNothing()
    {
        startOnSimulator();
        m_form->findChild<QComboBox *>("Combo14")->setFocus(Qt::TabFocusReason);
        m_home.removeStore();
        QApplication::setActiveWindow(nullptr); // the front goes to a window that is not ours
        QVERIFY(!m_form->isActiveWindow());
        QTest::qWait(50);
        QVERIFY(m_home.storeBytes().isEmpty());
        QVERIFY(m_form->session().link().isOpen());
    }

    void runningDownloadKeepsThePortUntilItEnds()
    {
        startOnSimulator();
        m_form->findChild<QPushButton *>("Command16")->click();
        QVERIFY(m_form->session().runner().isRunning());
        QWidget other;
        other.show();
        other.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&other));
        QVERIFY(m_form->session().link().isOpen());
        QVERIFY(waitUntil([&] { return !m_form->session().runner().isRunning(); }, 10000));
        QVERIFY(!m_form->session().link().isOpen());
    }

    void aDialogClosingWhileHiddenDoesNotEndTheProgram()
    {
        startOnSimulator();
        m_form->hide();
        QDialog dialog;
        dialog.show();
        QTimer::singleShot(50, &dialog, &QDialog::reject);
        QCOMPARE(runProgram(600), -1);
    }

    void closingSavesAndEnds()
    {
        startOnSimulator();
        m_home.removeStore();
        QTimer::singleShot(0, m_form.get(), &QWidget::close);
        QCOMPARE(runProgram(3000), 0);
        QCOMPARE(storedKeys(), 265);
    }

    // With another window of the program open, the program ends when that one closes too.
    void closingWaitsForTheLastWindow()
    {
        startOnSimulator();
        QWidget other;
        other.show();
        // Quitting closes what is left by itself, so what counts is whether our close came first.
        bool otherClosed = false;
        bool otherClosedAtQuit = false;
        QMetaObject::Connection c = connect(qApp, &QCoreApplication::aboutToQuit, this,
                                            [&] { otherClosedAtQuit = otherClosed; });
        QTimer::singleShot(0, m_form.get(), &QWidget::close);
        QTimer::singleShot(300, &other, [&] {
            otherClosed = true;
            other.close();
        });
        QCOMPARE(runProgram(3000), 0);
        disconnect(c);
        QVERIFY(otherClosedAtQuit);
    }

    void exitMenuCloses()
    {
        startOnSimulator();
        m_home.removeStore();
        QTimer::singleShot(0, m_form->findChild<QAction *>("Exitmnu"), &QAction::trigger);
        QCOMPARE(runProgram(3000), 0);
        QVERIFY(!m_form->isVisible());
        QCOMPARE(storedKeys(), 265);
    }
};

QTEST_MAIN(TestUiLifecycle)
#include "tst_ui_lifecycle.moc"
