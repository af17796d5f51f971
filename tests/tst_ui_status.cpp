#include "ui/alarm_shape.h"

#include "support/session_access.h"
#include "support/sim_process.h"
#include "support/ui/panel_window.h"
#include "support/wire_log.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QtTest>

// The window against the transmitter simulator on a pseudo-terminal: status reports reach the
// display boxes and indicators, stale values are marked, and the downloads lock the buttons.
class TestUiStatus : public WindowTest
{
    Q_OBJECT

    SimProcess m_sim;

    static QByteArray report(const QByteArray &alarmCode, char audio)
    {
        return "Pfwd=12.5W,Pref=0.3W,Tpsu=31C,Tamp=44C,Iamp1=1.1A,Iamp2=1.2A,Iamp3=1.3A,Iamp4=1.4A,"
               "Uamp1=27.1V,Uamp2=27.2V,Uamp3=27.3V,Uamp4=27.4V,Uptime=0001D:02H:03M,Firmware=v9.9.9 b,"
               "PowerLimit=150W,AlarmCode="
               + alarmCode + ",Audio=" + audio;
    }

    void startForm(const QByteArray &record = "AutoRead=False\nTrayAtStart=False\n")
    {
        m_form.start(storeText(m_sim.linkPath(), record), PanelWindow::LinkOpen);
    }

    void simCommand(const QString &line) { m_sim.require(line); }

    QLineEdit *box(const char *name) const { return find<QLineEdit>(name); }

    int framesOf(const QString &command) const { return m_sim.framesOf(command); }

private slots:
    void initTestCase() { QVERIFY2(m_sim.start(), m_sim.stderrText().constData()); }

    void cleanup()
    {
        m_form.reset();
        simCommand("silent off");
        discardMessageBoxes();
    }

    void reportFillsTheDisplay_data()
    {
        QTest::addColumn<QByteArray>("code");
        QTest::addColumn<char>("audio");
        QTest::addColumn<int>("level");
        QTest::addColumn<QString>("lit"); // the indicators that turn red, by number
        QTest::newRow("05") << QByteArray("05") << 'A' << 17 << "13";
        QTest::newRow("10") << QByteArray("10") << '0' << 0 << "24";
        QTest::newRow("21") << QByteArray("21") << '9' << 9 << "135";
        QTest::newRow("31") << QByteArray("31") << char(148) << 100 << "12345";
        QTest::newRow("00") << QByteArray("00") << char(200) << 100 << "";
    }

    void reportFillsTheDisplay()
    {
        QFETCH(QByteArray, code);
        QFETCH(char, audio);
        QFETCH(int, level);
        QFETCH(QString, lit);
        startForm();
        simCommand("report " + QString::fromLatin1(report(code, audio)));
        find<QPushButton>("Command4")->click();
        QVERIFY(waitUntil([&] { return box("Text1")->text() == "12.5W"; }, 5000));

        const struct { const char *box, *text; } expected[] = {
            {"Text1", "12.5W"}, {"Text2", "0.3W"}, {"Text3", "31C"}, {"Text4", "44C"},
            {"Text9", "1.1A"}, {"Text13", "1.2A"}, {"Text15", "1.3A"}, {"Text16", "1.4A"},
            {"Text5", "27.1V"}, {"Text17", "27.2V"}, {"Text18", "27.3V"}, {"Text19", "27.4V"},
            {"Text12", "0001D:02H:03M"}, {"Text14", "v9.9.9 b"}, {"Text11", "150W"},
        };
        for (const auto &e : expected)
            QCOMPARE(box(e.box)->text(), QString(e.text));
        QCOMPARE(find<QProgressBar>("ProgressBar2")->value(), level);
        for (int i = 1; i <= 5; ++i) {
            auto *shape = find<AlarmShape>(("Shape" + QByteArray::number(i)).constData());
            const bool on = lit.contains(QChar('0' + i));
            QCOMPARE(shape->fillColor(), on ? QColor(255, 0, 0) : QColor(224, 224, 224));
        }
        // The request left the progress report at rest, and the buffer is empty after the report.
        QCOMPARE(m_form->statusText(), QString("Ready"));
        QCOMPARE(find<QProgressBar>("ProgressBar1")->value(), 0);
        QCOMPARE(m_form->findChild<QWidget *>("Text8")->property("plainText").toString(), QString());
    }

    // Text from the transmitter is shown as text, never interpreted.
    void markupIsShownAsText()
    {
        startForm();
        simCommand("report Pfwd=<b>1W</b>,Firmware=<img src=x>,AlarmCode=00,Audio=0");
        find<QPushButton>("Command4")->click();
        QVERIFY(waitUntil([&] { return box("Text1")->text() == "<b>1W</b>"; }, 5000));
        QCOMPARE(box("Text14")->text(), QString("<img src=x>"));
    }

    void autoReadGoesOnWhileHidden()
    {
        startForm("AutoRead=True\nTrayAtStart=False\n");
        simCommand("report " + QString::fromLatin1(report("04", '5')));
        m_form->hide();
        // No button is pressed: the one-second tick asks, and the hidden window shows the answer.
        QVERIFY(waitUntil([&] { return box("Text11")->text() == "150W"; }, 5000));
        QVERIFY(find<AlarmShape>("Shape3")->isOn());
        QVERIFY(!m_form->isVisible());
    }

    void untickedAutoReadAsksNothing()
    {
        startForm("AutoRead=True\nTrayAtStart=False\n");
        const int atStart = framesOf("FM");
        QVERIFY(waitUntil([&] { return framesOf("FM") > atStart; }, 5000));
        find<QCheckBox>("Check1")->setChecked(false);
        // Watched at the link, in this process: a request written just before, which a busy
        // simulator reads late, is not one the unticked box let through.
        const WireLog wire(m_form->session().link());
        QTest::qWait(2300);
        QCOMPARE(wire.bytes().toHex(' '), QByteArray());
    }

    void staleValuesAreGreyedWithTheirTime()
    {
        startForm();
        SessionTestAccess::monitor(m_form->session()).setStaleAfterMs(300);
        QLineEdit *power = box("Text1");
        const QColor normal = power->palette().color(QPalette::Text);

        simCommand("silent on");
        find<QPushButton>("Command4")->click();
        QVERIFY(waitUntil([&] { return m_form->session().monitor().isStale(); }, 3000));
        QCOMPARE(power->toolTip(), QString("No report received yet"));
        QVERIFY(power->palette().color(QPalette::Text) != normal);

        simCommand("silent off");
        simCommand("report " + QString::fromLatin1(report("00", '0')));
        find<QPushButton>("Command4")->click();
        QVERIFY(waitUntil([&] { return !m_form->session().monitor().isStale(); }, 3000));
        QCOMPARE(power->toolTip(), QString());
        QCOMPARE(power->palette().color(QPalette::Text), normal);

        simCommand("silent on");
        find<QPushButton>("Command4")->click();
        QVERIFY(waitUntil([&] { return m_form->session().monitor().isStale(); }, 3000));
        QVERIFY2(QRegularExpression("^No report since \\d\\d:\\d\\d:\\d\\d$").match(power->toolTip()).hasMatch(),
                 qPrintable(power->toolTip()));
        QCOMPARE(box("Text19")->toolTip(), power->toolTip());
        QCOMPARE(power->text(), QString("12.5W")); // the last values stay on show
    }

    void downloadLocksTheButtonsUntilItEnds()
    {
        startForm("AutoRead=False\nTrayAtStart=False\nTXPower=100\n");
        const int before = m_sim.frames().size();
        find<QPushButton>("Command16")->click();
        QVERIFY(m_form->session().runner().isRunning());
        for (const char *name : {"Command4", "Command16", "Command9"})
            QVERIFY2(!find<QPushButton>(name)->isEnabled(), name);
        QVERIFY(waitUntil([&] { return !m_form->session().runner().isRunning(); }, 10000));
        for (const char *name : {"Command4", "Command16", "Command9"})
            QVERIFY2(find<QPushButton>(name)->isEnabled(), name);
        QCOMPARE(m_form->statusText(), QString("Ready"));
        QCOMPARE(find<QProgressBar>("ProgressBar1")->value(), 0);

        QVERIFY(m_sim.waitForRecords("frame", before + 7, 3000));
        const QList<QJsonObject> frames = m_sim.frames().mid(before);
        QStringList commands;
        for (const QJsonObject &f : frames)
            commands << f.value("command").toString();
        QCOMPARE(commands, QStringList({"FO", "FAS", "FAT", "FAU", "FAC", "FAA", "FW"}));
        QCOMPARE(frames[0].value("value").toString().toLower(), QString("68")); // 100 + 4
    }

    // A damaged store can hold a position whose byte does not exist: nothing is sent then.
    void refusedDownloadSendsNothing()
    {
        startForm("AutoRead=False\nTrayAtStart=False\nSWRAlarm=300\n");
        const int before = m_sim.frames().size();
        find<QPushButton>("Command16")->click();
        QVERIFY(!m_form->session().runner().isRunning());
        QVERIFY(waitUntil([] { return !shownMessageBoxes("DownloadRefusedMessage").isEmpty(); }, 3000));
        QVERIFY(m_form->statusText() != QString("Ready"));
        QTest::qWait(200);
        QCOMPARE(m_sim.frames().size(), before);
        QVERIFY(find<QPushButton>("Command16")->isEnabled());
    }

    void logoDownloadSendsTheEditedLine()
    {
        startForm();
        auto *line1 = box("Text7");
        m_form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_form.get()));
        line1->setFocus(Qt::TabFocusReason);
        line1->setText("ON AIR");
        // Leaving the box for the button applies the rule before the download reads the record.
        find<QPushButton>("Command9")->setFocus(Qt::MouseFocusReason);
        find<QPushButton>("Command9")->click();
        QVERIFY(m_form->session().runner().isRunning());
        QVERIFY(!find<QPushButton>("Command4")->isEnabled());
        QVERIFY(waitUntil([&] { return m_form->statusText().startsWith("Setting LOGO line1"); }, 3000));
        // The whole download takes thirteen seconds; its first line is enough here.
        QVERIFY(waitUntil([&] {
            const QList<QJsonObject> frames = m_sim.frames();
            return !frames.isEmpty() && frames.last().value("command").toString() == "FL1";
        }, 8000));
        const QJsonObject fl1 = m_sim.frames().last();
        QCOMPARE(QByteArray::fromHex(fl1.value("value").toString().toLatin1()), QByteArray("ON AIR          "));
    }
};

QTEST_MAIN(TestUiStatus)
#include "tst_ui_status.moc"
