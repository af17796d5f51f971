// The port setup dialog in the running window: its layout, the load steps, each way of choosing a
// port (picking an entry, typing), what a choice does to the store and to the link, and how opening
// the dialog hands the port over. Two simulators stand behind COM 1 and COM 2 (and COM 5); the other
// ports map to paths where nothing is.
#include "ui/frm_setup.h"

#include "settings/store.h"
#include "support/sim_process.h"
#include "support/ui/panel_window.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSerialPort>
#include <QStatusBar>
#include <QStyle>
#include <QtTest>

#include <sys/stat.h>

class TestUiSetup : public WindowTest
{
    Q_OBJECT

    SimProcess m_sim1, m_sim2;
    QTemporaryDir m_dir;

    QString absentPath(int port) const { return m_dir.filePath(QStringLiteral("absent-%1").arg(port)); }

    QByteArray storeText(int comSelected, bool autoRead = false) const
    {
        QByteArray text = "[Ports]\n";
        for (int port = 1; port <= 8; ++port) {
            const QString device = port == 1 ? m_sim1.linkPath()
                : port == 2 || port == 5     ? m_sim2.linkPath()
                                             : absentPath(port);
            text += "COM" + QByteArray::number(port) + "=" + device.toUtf8() + "\n";
        }
        return text + "\n[ValtronaAmp%2B]\nCOMSelected=" + QByteArray::number(comSelected)
            + "\nAutoRead=" + (autoRead ? "True" : "False") + "\nTrayAtStart=False\n";
    }

    // The window on COM 1, open on the first simulator and in front. The 1 s timer is stopped: the
    // tests that need ticks drive Timer1_Timer themselves.
    void startOnFirst(bool autoRead = false)
    {
        m_form.start(storeText(1, autoRead), PanelWindow::ManualTicks | PanelWindow::LinkOpen);
        QCOMPARE(m_form->session().link().openDevicePath(), m_sim1.linkPath());
        QVERIFY(backToMain());
    }

    // Puts 7 into the file's COMSelected behind the record's back (the port map stays, so that no
    // device outside the test is ever opened): a save shows as the record's value coming back.
    void markStoreUnsaved() const { m_home.writeStore(storeText(7)); }

    FrmSetup *dialog() const { return m_form->findChild<FrmSetup *>(QStringLiteral("FrmSetup")); }

    // Waits until `window` is the program's active window. (QTest::qWaitForWindowActive would not
    // do for the dialog: a window counts as active there while the window it belongs to is.)
    static bool becomesActive(QWidget *window)
    {
        return window && waitUntil([window] { return QApplication::activeWindow() == window; }, 5000);
    }

    // The main window in front again, as the desktop does it when the dialog closes.
    bool backToMain()
    {
        m_form->activateWindow();
        return becomesActive(m_form.get());
    }

    // File > Setup, as the operator chooses it; the dialog ends up in front.
    bool openSetup()
    {
        QAction *setup = m_form->findChild<QAction *>(QStringLiteral("SetupMnu"));
        if (!setup)
            return false;
        setup->trigger();
        return becomesActive(dialog());
    }

    // Picks an entry from the open list with the mouse, as the operator does.
    static bool pick(QComboBox *combo, const QString &text)
    {
        const int index = combo->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive);
        if (index < 0)
            return false;
        combo->showPopup();
        QAbstractItemView *view = combo->view();
        if (!waitUntil([view] { return view->isVisible(); }, 3000))
            return false;
        const QRect item = view->visualRect(view->model()->index(index, 0));
        QTest::mouseMove(view->viewport(), item.center());
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, item.center());
        return waitUntil([view] { return !view->isVisible(); }, 3000);
    }

    // A key of the record as the store file on disk holds it.
    QVariant stored(const char *key) const { return storedRecord().value(QLatin1String(key)); }

    int sentStatusRequests(SimProcess &sim) { return sim.framesOf(QStringLiteral("FM")); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY2(m_sim1.start(), m_sim1.stderrText().constData());
        QVERIFY2(m_sim2.start(), m_sim2.stderrText().constData());
    }

    void cleanup()
    {
        closeWindow();
        QApplication::processEvents();
    }

    void layoutAndTexts()
    {
        startOnFirst();
        QVERIFY(openSetup());
        FrmSetup *d = dialog();
        QCOMPARE(d->windowTitle(), QString("ValtronaAmp+ Setup"));
        QVERIFY(!d->isModal());
        QCOMPARE(QApplication::activeModalWidget(), nullptr);
        QCOMPARE(d->size(), QSize(220, 124));
        auto *frame = d->findChild<QGroupBox *>("Frame2");
        auto *ok = d->findChild<QPushButton *>("Command1");
        auto *combo = d->findChild<QComboBox *>("Combo2");
        auto *label = d->findChild<QLabel *>("Label1");
        QVERIFY(frame && ok && combo && label);
        QCOMPARE(frame->title(), QString("Communication port settings"));
        QCOMPARE(frame->geometry(), QRect(6, 8, 205, 71));
        QCOMPARE(ok->text(), QString("OK"));
        QCOMPARE(ok->geometry(), QRect(78, 88, 69, 25));
        QCOMPARE(combo->parentWidget(), frame);
        QVERIFY(combo->isEditable());
        QCOMPARE(combo->geometry().topLeft(), QPoint(62, 24));
        QCOMPARE(combo->toolTip(), QString("I/O address, 300h is default!"));
        QCOMPARE(label->text(), QString("COM port:"));
        QCOMPARE(label->geometry(), QRect(6, 27, 57, 17));

        // "Devices..." stands in the group's free room under the port box, over none of the others,
        // with its caption whole inside its bevel.
        auto *devices = d->findChild<QPushButton *>("Command2");
        QVERIFY(devices);
        QCOMPARE(devices->parentWidget(), frame);
        QCOMPARE(devices->geometry(), QRect(62, 47, 95, 22));
        QVERIFY(frame->rect().contains(devices->geometry()));
        for (QWidget *other : { static_cast<QWidget *>(combo), static_cast<QWidget *>(label) })
            QVERIFY2(!devices->geometry().intersects(other->geometry()), qPrintable(other->objectName()));
        QVERIFY(!devices->geometry().translated(frame->pos()).intersects(ok->geometry()));
        QStyle *style = devices->style();
        const int margins = 2
            * (style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, devices)
                + style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, devices));
        QVERIFY(devices->fontMetrics().horizontalAdvance(QStringLiteral("Devices...")) + margins
            <= devices->width());
        QVERIFY(devices->fontMetrics().height() + margins / 2 <= devices->height());
        QCOMPARE(devices->accessibleName(), QString("Devices..."));
        // Reached from the port box with Tab.
        combo->setFocus(Qt::TabFocusReason);
        QVERIFY(waitUntil([combo] { return combo->hasFocus(); }, 3000));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QVERIFY(devices->hasFocus());
    }

    // Showing the dialog deactivates the main window: the port is let go, so that a choice opens
    // its port at once (the save that goes with it writes nothing when the file holds the record). The auto-read tick waits while the dialog is in front.
    void openingHandsOverThePortAndPausesTicks()
    {
        startOnFirst(true);
        const int before = sentStatusRequests(m_sim1);
        QVERIFY(openSetup());
        QVERIFY(!m_form->session().link().isOpen());

        for (int i = 0; i < 3; ++i)
            m_form->Timer1_Timer();
        QTest::qWait(200);
        QVERIFY(!m_form->session().link().isOpen());
        QCOMPARE(sentStatusRequests(m_sim1), before);

        // Back in the main window the tick runs again and reopens the stored port.
        QVERIFY(backToMain());
        m_form->Timer1_Timer();
        QVERIFY(m_form->session().link().isOpen());
        QVERIFY(m_sim1.waitForRecords(QStringLiteral("frame"), before + 1));
        QCOMPARE(sentStatusRequests(m_sim1), before + 1);
    }

    void missingPortPickedIsStoredAndToldOnce()
    {
        startOnFirst();
        QVERIFY(openSetup());
        QVERIFY(!m_form->session().link().isOpen());
        QVERIFY(missingPortBoxes().isEmpty());
        markStoreUnsaved();

        QVERIFY(pick(dialog()->combo(), QStringLiteral("COM 3")));
        QCOMPARE(settingsRecord().COMSelected, qint16(3));
        QCOMPARE(stored("COMSelected").toString(), QString("3"));
        QVERIFY(waitUntil([] { return !missingPortBoxes().isEmpty(); }, 3000));
        QTest::qWait(200);
        QCOMPARE(missingPortBoxes().size(), 1);
        QCOMPARE(missingPortBoxes().first()->windowTitle(), QString("ValtronaAmp+ v4.1"));
        QVERIFY(!m_form->session().link().isOpen());
        // The choice stands: a failed open does not move the stored port elsewhere.
        missingPortBoxes().first()->button(QMessageBox::Ok)->click();
        QCOMPARE(settingsRecord().COMSelected, qint16(3));
    }

    // The link is open on COM 1 until the dialog comes up; COM 2 picked there is where it stays
    // after OK, and where the next status request goes.
    void pickedPortCarriesTheLinkAfterOk()
    {
        startOnFirst();
        const int onFirst = sentStatusRequests(m_sim1);
        const int onSecond = sentStatusRequests(m_sim2);
        QVERIFY(openSetup());
        // The operator's cursor is in the box, as after a click into it: the list popping up takes
        // the focus from the text, which must not count as choosing the port the box shows.
        QLineEdit *edit = dialog()->combo()->lineEdit();
        edit->setFocus(Qt::MouseFocusReason);
        QVERIFY(waitUntil([edit] { return edit->hasFocus(); }, 3000));
        QVERIFY(pick(dialog()->combo(), QStringLiteral("COM 2")));
        QVERIFY(m_form->session().link().isOpen());
        QCOMPARE(m_form->session().link().openDevicePath(), m_sim2.linkPath());

        dialog()->findChild<QPushButton *>("Command1")->click();
        QVERIFY(!dialog()->isVisible());
        QVERIFY(backToMain());
        QCOMPARE(m_form->session().link().openDevicePath(), m_sim2.linkPath());
        QCOMPARE(stored("COMSelected").toString(), QString("2"));

        m_form->findChild<QPushButton *>("Command4")->click();
        QVERIFY(m_sim2.waitForRecords(QStringLiteral("frame"), onSecond + 1));
        QCOMPARE(sentStatusRequests(m_sim2), onSecond + 1);
        QCOMPARE(sentStatusRequests(m_sim1), onFirst);
        // The second simulator's answer comes back over the moved link.
        QSignalSpy shown(&m_form->session().monitor(), &StatusMonitor::displayChanged);
        QVERIFY(shown.wait(5000));
    }

    // Every keystroke is a port choice: the whole text must be one of the entries, letter case and
    // all, or COMSelected stays; the store is written and the stored port applied either way.
    // Every keystroke is a port choice: the whole text must be one of the entries, letter case and
    // all, or COMSelected stays; the store is written either way. The first keystroke's port check
    // already opens the stored COM 1, and an open link stays where it is: even a typed "COM 2"
    // leaves it on COM 1 until it is closed and opened again.
    void typedText_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("selected");

        QTest::newRow("lower case") << "com 2" << 1;
        QTest::newRow("above eight") << "COM 9" << 1;
        QTest::newRow("partly typed") << "COM" << 1;
        QTest::newRow("leading blank") << " COM 2" << 1;
        QTest::newRow("exact") << "COM 2" << 2;
        // "COM 2" matched on the way; the final "COM 23" matches nothing and keeps it.
        QTest::newRow("past an entry") << "COM 23" << 2;
    }

    void typedText()
    {
        QFETCH(QString, typed);
        QFETCH(int, selected);

        startOnFirst();
        QVERIFY(openSetup());
        QVERIFY(!m_form->session().link().isOpen());
        markStoreUnsaved();
        QLineEdit *edit = dialog()->combo()->lineEdit();
        edit->clear();
        QTest::keyClicks(edit, typed);
        QCOMPARE(dialog()->combo()->currentText(), typed);

        QCOMPARE(settingsRecord().COMSelected, qint16(selected));
        QCOMPARE(stored("COMSelected").toString(), QString::number(selected));
        QVERIFY(m_form->session().link().isOpen());
        QCOMPARE(m_form->session().link().openDevicePath(), m_sim1.linkPath());
        QVERIFY(missingPortBoxes().isEmpty());
    }

    void reopeningKeepsEightEntries()
    {
        startOnFirst();
        const QStringList entries { "COM 1", "COM 2", "COM 3", "COM 4", "COM 5", "COM 6", "COM 7", "COM 8" };
        for (int round = 0; round < 4; ++round) {
            QVERIFY(openSetup());
            QComboBox *combo = dialog()->combo();
            QStringList texts;
            for (int i = 0; i < combo->count(); ++i)
                texts << combo->itemText(i);
            QCOMPARE(texts, entries);
            // Closed with OK and with the close box in turn.
            if (round % 2 == 0)
                dialog()->findChild<QPushButton *>("Command1")->click();
            else
                dialog()->close();
            QVERIFY(!dialog()->isVisible());
            QVERIFY(!dialog()->isLoaded());
            QVERIFY(backToMain());
        }
    }

    // The store is read again when the dialog loads; what it holds decides the box's text.
    void storedPortIsShown_data()
    {
        QTest::addColumn<int>("stored");
        QTest::addColumn<QString>("shown");

        QTest::newRow("0") << 0 << "COM 1";
        QTest::newRow("-1") << -1 << "COM 1";
        QTest::newRow("9") << 9 << "COM 1";
        QTest::newRow("1") << 1 << "COM 1";
        QTest::newRow("5") << 5 << "COM 5";
        QTest::newRow("8") << 8 << "COM 8";
    }

    void storedPortIsShown()
    {
        QFETCH(int, stored);
        QFETCH(QString, shown);

        startOnFirst();
        m_home.writeStore(storeText(stored));
        QVERIFY(openSetup());
        QCOMPARE(dialog()->combo()->currentText(), shown);
        QCOMPARE(dialog()->combo()->count(), 8);
        // The number outside 1 to 8 is kept as it is, in the record and in the file.
        QCOMPARE(settingsRecord().COMSelected, qint16(stored));
        QCOMPARE(this->stored("COMSelected").toString(), QString::number(stored));
    }

    void setupWhileOpenDoesNotRereadTheStore()
    {
        startOnFirst();
        QVERIFY(openSetup());
        m_home.writeStore(storeText(5));
        m_form->SetupMnu_Click();
        QVERIFY(dialog()->isVisible());
        QVERIFY(becomesActive(dialog()));
        QCOMPARE(dialog()->combo()->currentText(), QString("COM 1"));
        QCOMPARE(settingsRecord().COMSelected, qint16(1));
        QCOMPARE(dialog()->combo()->count(), 8);

        // Closed and opened again it does read it: the check above could have failed.
        dialog()->close();
        m_form->SetupMnu_Click();
        QCOMPARE(dialog()->combo()->currentText(), QString("COM 5"));
        QCOMPARE(settingsRecord().COMSelected, qint16(5));
    }

    // The busy pointer covers the load steps (the port check of the stored COM 3 runs in them) and
    // is gone once the dialog is up.
    void busyPointerAroundTheLoad()
    {
        startOnFirst();
        // Opened and closed once, the dialog has let go of the port: the next load's check opens it.
        QVERIFY(openSetup());
        dialog()->close();
        QVERIFY(backToMain());
        QVERIFY(!m_form->session().link().isOpen());
        m_home.writeStore(storeText(3));
        QList<int> shapes;
        connect(&m_form->session().portCheck(), &PortCheck::missingPort, this, [&shapes] {
            const QCursor *cursor = QApplication::overrideCursor();
            shapes << (cursor ? int(cursor->shape()) : -1);
        });
        m_form->SetupMnu_Click();
        QCOMPARE(shapes, QList<int> { int(Qt::WaitCursor) });
        QCOMPARE(QApplication::overrideCursor(), nullptr);
        QVERIFY(dialog()->isVisible());
        QCOMPARE(dialog()->combo()->currentText(), QString("COM 3"));
    }

    void entryTooltipsNameTheDevice_data()
    {
        QTest::addColumn<int>("port");
        QTest::addColumn<bool>("present");

        QTest::newRow("COM 1, a simulator") << 1 << true;
        QTest::newRow("COM 2, a simulator") << 2 << true;
        QTest::newRow("COM 3, nothing there") << 3 << false;
        QTest::newRow("COM 8, nothing there") << 8 << false;
    }

    void entryTooltipsNameTheDevice()
    {
        QFETCH(int, port);
        QFETCH(bool, present);

        startOnFirst();
        QVERIFY(openSetup());
        QComboBox *combo = dialog()->combo();
        QCOMPARE(combo->itemText(port - 1), QStringLiteral("COM %1").arg(port));
        const QString tip = combo->itemData(port - 1, Qt::ToolTipRole).toString();
        const QString path = port == 1 ? m_sim1.linkPath() : port == 2 ? m_sim2.linkPath() : absentPath(port);
        QVERIFY2(tip.contains(path), qPrintable(tip));
        QCOMPARE(tip.contains(QLatin1String("not present")), !present);
        if (present) // the link names the simulator's pseudo-terminal it stands for
            QVERIFY2(tip.contains(QFileInfo(path).canonicalFilePath()), qPrintable(tip));
    }

    // Each opening of the list asks for the device of its eight entries, and each opening of the
    // dialog loads the store: the file, unchanged, is parsed for none of it. A hand edit of a port
    // shows at the next opening of the list, parsed once.
    void listOpeningsParseTheStoreOnce()
    {
        startOnFirst();
        auto parses = [] { return SettingsStore::instance().fileStatistics().parses; };
        const quint64 before = parses();
        auto openList = [](QComboBox *combo) {
            combo->showPopup();
            if (!waitUntil([combo] { return combo->view()->isVisible(); }, 3000))
                return false;
            combo->hidePopup();
            return waitUntil([combo] { return !combo->view()->isVisible(); }, 3000);
        };
        for (int round = 0; round < 3; ++round) {
            QVERIFY(openSetup());
            for (int i = 0; i < 4; ++i)
                QVERIFY(openList(dialog()->combo()));
            dialog()->findChild<QPushButton *>("Command1")->click();
            QVERIFY(backToMain());
        }
        QCOMPARE(parses() - before, quint64(0));

        const QString moved = absentPath(33);
        QVERIFY(m_home.writeStore(m_home.storeBytes().replace(absentPath(3).toUtf8(), moved.toUtf8())));
        QVERIFY(openSetup());
        QVERIFY(openList(dialog()->combo()));
        const QString tip = dialog()->combo()->itemData(2, Qt::ToolTipRole).toString();
        QVERIFY2(tip.contains(moved), qPrintable(tip));
        QCOMPARE(parses() - before, quint64(1));
    }

    void okSavesTheCloseBoxDoesNot_data()
    {
        QTest::addColumn<bool>("viaOk");
        QTest::newRow("OK") << true;
        QTest::newRow("close box") << false;
    }

    void okSavesTheCloseBoxDoesNot()
    {
        QFETCH(bool, viaOk);
        startOnFirst();
        QVERIFY(openSetup());
        markStoreUnsaved();
        if (viaOk)
            dialog()->findChild<QPushButton *>("Command1")->click();
        else
            dialog()->close();
        QVERIFY(!dialog()->isVisible());
        QVERIFY(!dialog()->isLoaded());
        QCOMPARE(stored("COMSelected").toString(), QString(viaOk ? "1" : "7"));
    }

    // A status request from the main window while the dialog is open reopens the stored port; a
    // choice made then is stored but does not move the open link.
    void choiceWhileTheLinkIsOpenDoesNotMoveIt()
    {
        startOnFirst();
        QVERIFY(openSetup());
        m_form->Command4_Click();
        QVERIFY(m_form->session().link().isOpen());
        QVERIFY(pick(dialog()->combo(), QStringLiteral("COM 2")));
        QCOMPARE(settingsRecord().COMSelected, qint16(2));
        QCOMPARE(m_form->session().link().openDevicePath(), m_sim1.linkPath());
    }

    // A port that is there but held by another program: the choice is kept, the status bar tells
    // why the port is not open, and it is not taken for a missing port.
    void heldPortKeepsTheChoiceAndSaysWhy()
    {
        startOnFirst();
        QSerialPort holder(m_sim2.linkPath());
        QVERIFY(holder.open(QIODevice::ReadWrite));
        QVERIFY(openSetup());
        QVERIFY(pick(dialog()->combo(), QStringLiteral("COM 2")));
        QCOMPARE(settingsRecord().COMSelected, qint16(2));
        QCOMPARE(stored("COMSelected").toString(), QString("2"));
        QVERIFY(!m_form->session().link().isOpen());
        const QString status = m_form->statusText();
        QVERIFY2(status.contains(QLatin1String("in use by another program")), qPrintable(status));
        QVERIFY2(status.contains(m_sim2.linkPath()), qPrintable(status));
        QTest::qWait(100);
        QVERIFY(missingPortBoxes().isEmpty());
    }
};

QTEST_MAIN(TestUiSetup)
#include "tst_ui_setup.moc"
