#include "ui/tray.h"

#include "support/sim_process.h"
#include "support/ui/panel_window.h"

#include <QLineEdit>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QtTest>

// The tray on a real desktop with a notification area (Xvfb and a window manager with a tray, named
// by PANEL_TEST_DISPLAY). Without one these tests are skipped; the offscreen behaviour, where the
// window must never be hidden, is tested with the rest of the lifecycle.
class TestUiTray : public WindowTest
{
    Q_OBJECT

    SimProcess m_sim;
    QTemporaryDir m_dir;

    void startForm(const QByteArray &port, const QByteArray &record)
    {
        m_form.start(storeText(QString::fromUtf8(port), record));
    }

    static QMessageBox *missingPortBox() { return shownMessageBoxes().value(0); }

private slots:
    void initTestCase()
    {
        if (qEnvironmentVariableIsEmpty("PANEL_TEST_DISPLAY"))
            QSKIP("no test desktop (PANEL_TEST_DISPLAY is not set)");
        // The window manager's tray can take a moment to appear after the desktop starts.
        QVERIFY(waitUntil([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 10000));
        QVERIFY2(m_sim.start(), m_sim.stderrText().constData());
    }

    void cleanup() { closeWindow(); }

    void systrayHidesAndTheIconRestores()
    {
        startForm(m_sim.linkPath().toUtf8(), "AutoRead=False\nTrayAtStart=False\n");
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
        QVERIFY(!m_form->tray().isShown());
        auto *systray = m_form->findChild<QPushButton *>("Command2");
        QVERIFY(systray->isEnabled());

        systray->click();
        QVERIFY(!m_form->isVisible());
        QVERIFY(m_form->tray().isShown());
        QVERIFY(m_form->isInTray());
        QSystemTrayIcon *icon = m_form->tray().icon();
        QCOMPARE(icon->toolTip(), QString("ValtronaAmp+ V4.1"));
        QVERIFY(!icon->icon().isNull());

        // Any mouse action on the icon brings the window back.
        emit icon->activated(QSystemTrayIcon::Context);
        QVERIFY(m_form->isVisible());
        QVERIFY(!m_form->tray().isShown());
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
    }

    void trayAtStartStartsHidden()
    {
        startForm(m_sim.linkPath().toUtf8(), "AutoRead=True\nTrayAtStart=True\n");
        QVERIFY(m_form->isInTray());
        QVERIFY(!m_form->isVisible());
        QVERIFY(m_form->session().link().isOpen());
        // Auto-read and the status display go on while hidden.
        bool ok = false;
        m_sim.command("report Pfwd=1W,PowerLimit=321W,AlarmCode=00,Audio=0", &ok);
        QVERIFY(ok);
        QLineEdit *limit = m_form->findChild<QLineEdit *>("Text11");
        QVERIFY(waitUntil([&] { return limit->text() == "321W"; }, 5000));
        QVERIFY(m_form->isInTray());
        emit m_form->tray().icon()->activated(QSystemTrayIcon::DoubleClick);
        QVERIFY(m_form->isVisible());
    }

    void missingPortWhileInTheTray()
    {
        startForm(m_dir.filePath("absent").toUtf8(), "AutoRead=False\nTrayAtStart=True\n");
        QVERIFY(waitUntil([] { return missingPortBox() != nullptr; }, 3000));
        QVERIFY(m_form->isInTray());
        missingPortBox()->button(QMessageBox::Ok)->click();
        QVERIFY(waitUntil([] { return missingPortBox() == nullptr; }, 3000));
        // Closing the message leaves the program in the tray, not ended and not shown.
        QTest::qWait(100);
        QVERIFY(m_form->isInTray());
    }
};

int main(int argc, char *argv[])
{
    const QByteArray display = qgetenv("PANEL_TEST_DISPLAY");
    if (!display.isEmpty()) {
        qputenv("DISPLAY", display);
        qputenv("QT_QPA_PLATFORM", "xcb");
    }
    QApplication app(argc, argv);
    TestUiTray test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_ui_tray.moc"
