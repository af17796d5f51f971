#include "ui/form1.h"
#include "ui/tray.h"

#include "support/sim_process.h"
#include "support/test_env.h"

#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QtTest>
#include <memory>

// The tray on a real desktop with a notification area (Xvfb and a window manager with a tray, named
// by PANEL_TEST_DISPLAY). Without one these tests are skipped; the offscreen behaviour, where the
// window must never be hidden, is tested with the rest of the lifecycle.
class TestUiTray : public QObject
{
    Q_OBJECT

    TestStoreHome m_home;
    SimProcess m_sim;
    QTemporaryDir m_dir;
    std::unique_ptr<Form1> m_form;

    void startForm(const QByteArray &port, const QByteArray &record)
    {
        m_form.reset();
        m_home.removeStore();
        m_home.writeStore("[Ports]\nCOM1=" + port + "\n\n[ValtronaAmp%2B]\n" + record);
        m_form = std::make_unique<Form1>();
        m_form->start();
    }

    static QMessageBox *missingPortBox()
    {
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *box = qobject_cast<QMessageBox *>(w); box && box->isVisible())
                return box;
        return nullptr;
    }

private slots:
    void initTestCase()
    {
        if (qEnvironmentVariableIsEmpty("PANEL_TEST_DISPLAY"))
            QSKIP("no test desktop (PANEL_TEST_DISPLAY is not set)");
        // The window manager's tray can take a moment to appear after the desktop starts.
        QVERIFY(waitUntil([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 10000));
        QVERIFY2(m_sim.start(), m_sim.stderrText().constData());
    }

    void cleanup()
    {
        m_form.reset();
        for (QWidget *w : QApplication::topLevelWidgets())
            if (qobject_cast<QMessageBox *>(w))
                delete w;
    }

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
