// What the panel tells the operator while its window is not in front, end to end: the simulator's
// reports and an unplugged adapter reach the real window, whose notifications arrive at a recording
// notification service on the test's private session bus; the tray's image tells the state; and
// `valtrona-panel --events`, run beside the window, prints the transitions in order.
#include "ui/form1.h"
#include "ui/notices.h"
#include "ui/tray.h"

#include "support/notification_recorder.h"
#include "support/sim_process.h"
#include "support/test_env.h"

#include <QMessageBox>
#include <QProcess>
#include <QSystemTrayIcon>
#include <QtTest>

#include <memory>

namespace {

const char *const kCaptions[] = { "AMP T ALARM", "SWR ALARM", "PSU T ALARM", "OVER-CURRENT ALARM",
    "RF OVERDRIVE ALARM" };

QByteArray reportLine(int alarmCode, int uptimeMinutes = 600)
{
    const QByteArray uptime = QStringLiteral("%1D:%2H:%3M")
                                  .arg(uptimeMinutes / 1440, 4, 10, QLatin1Char('0'))
                                  .arg(uptimeMinutes / 60 % 24, 2, 10, QLatin1Char('0'))
                                  .arg(uptimeMinutes % 60, 2, 10, QLatin1Char('0'))
                                  .toLatin1();
    return "report Pfwd=100.0W,Pref=1.0W,Uptime=" + uptime + ",AlarmCode="
        + QByteArray::number(alarmCode).rightJustified(2, '0') + ",Audio=5";
}

} // namespace

class TestUiAlarms : public QObject
{
    Q_OBJECT

    TestStoreHome m_home;
    SimProcess m_sim;
    NotificationRecorder m_recorder;
    std::unique_ptr<Form1> m_form;
    int m_seen = 0; // notifications taken so far

    void simCommand(const QByteArray &line)
    {
        bool ok = false;
        m_sim.command(QString::fromLatin1(line), &ok);
        QVERIFY2(ok, line.constData());
    }

    // The notifications that came since the last call, once at least `count` have.
    QList<QJsonObject> next(int count)
    {
        const bool came = m_recorder.waitForCalls(m_seen + count, 10000);
        QList<QJsonObject> calls = m_recorder.calls();
        const QList<QJsonObject> fresh = calls.mid(m_seen);
        m_seen = int(calls.size());
        if (!came)
            qWarning() << "waited for" << count << "notifications, got" << fresh.size();
        return fresh;
    }

    QImage trayImage() const { return m_form->tray().icon()->icon().pixmap(32).toImage(); }

    QStringList eventRows()
    {
        QProcess events;
        events.start(QStringLiteral(VALTRONA_PANEL_PATH), { "--events" });
        if (!events.waitForFinished(10000) || events.exitCode() != 0)
            return { "failed: " + QString::fromLocal8Bit(events.readAllStandardError()) };
        QStringList rows = QString::fromUtf8(events.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        for (QString &row : rows)
            row = row.section(',', 1); // without the time
        return rows;
    }

private slots:
    void initTestCase()
    {
        if (!NotificationRecorder::onPrivateBus())
            QSKIP("needs a private session bus: run through ctest (dbus-run-session)");
        QVERIFY2(m_recorder.start(), qPrintable(m_recorder.errorText()));
        QVERIFY2(m_sim.start({ "--report", QString::fromLatin1(reportLine(0).mid(7)) }), m_sim.stderrText().constData());
        m_home.writeStore("[Ports]\nCOM1=" + m_sim.linkPath().toUtf8()
                          + "\n\n[ValtronaAmp%2B]\nAutoRead=True\nTrayAtStart=False\n");
        m_form = std::make_unique<Form1>();
        m_form->start();
        QVERIFY(m_form->session().link().isOpen());
        QVERIFY(waitUntil([&] { return m_form->session().display().texts[0] == "100.0W"; }, 5000));
        // The window in front says it all itself: nothing is sent then.
        m_form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_form.get()));
        QTRY_VERIFY(m_form->notices().scheduler().isQuiet());
        // Minimised, it no longer shows anything. (A window of another program in front cannot be
        // had offscreen; one of this program's own would hold the ticks back, as the setup dialog
        // does.)
        m_form->showMinimized();
        QTRY_VERIFY(!m_form->notices().scheduler().isQuiet());
    }

    // Each alarm on, then off: one critical and one normal notification, each with the indicator's
    // caption, and the tray's image red while it is on.
    void eachAlarmOnAndOff()
    {
        const QImage clear = trayImage();
        for (int bit = 0; bit < 5; ++bit) {
            simCommand(reportLine(1 << bit));
            QList<QJsonObject> on = next(1);
            QCOMPARE(on.size(), 1);
            QCOMPARE(on[0].value("app_name").toString(), QString("ValtronaAmp+"));
            QVERIFY2(on[0].value("summary").toString().contains(kCaptions[bit]), qPrintable(on[0].value("summary").toString()));
            QCOMPARE(on[0].value("urgency").toInt(), 2);
            QVERIFY(trayImage() != clear);

            simCommand(reportLine(0));
            QList<QJsonObject> off = next(1);
            QCOMPARE(off.size(), 1);
            QVERIFY(off[0].value("summary").toString().contains(kCaptions[bit]));
            QCOMPARE(off[0].value("urgency").toInt(), 1);
            QCOMPARE(trayImage(), clear);
        }
        QTest::qWait(1500); // nothing more: once each
        QCOMPARE(next(0).size(), 0);
    }

    // An alarm whose contact flaps: fewer notifications than changes, the last one telling how often.
    void flappingAlarmIsFolded()
    {
        int changes = 0;
        for (int i = 0; i < 3; ++i) {
            simCommand(reportLine(16));
            QVERIFY(waitUntil([&] { return m_form->session().display().alarms[4]; }, 5000));
            simCommand(reportLine(0));
            QVERIFY(waitUntil([&] { return !m_form->session().display().alarms[4]; }, 5000));
            changes += 2;
        }
        QTest::qWait(500);
        const QList<QJsonObject> sent = next(0);
        QVERIFY2(sent.size() < changes, qPrintable(QString::number(sent.size())));
        QVERIFY(!sent.isEmpty());
        for (const QJsonObject &n : sent)
            QVERIFY(n.value("summary").toString().contains("RF OVERDRIVE ALARM"));
        QVERIFY2(sent.last().value("body").toString().contains("times"), qPrintable(sent.last().value("body").toString()));
        // One notification stands for the alarm: each replaces the one before.
        for (int i = 1; i < sent.size(); ++i)
            QCOMPARE(sent[i].value("replaces_id").toInt(), sent[i - 1].value("id").toInt());
    }

    void restartIsTold()
    {
        simCommand(reportLine(0, 5)); // the uptime went back from ten hours to five minutes
        const QList<QJsonObject> sent = next(1);
        QCOMPARE(sent.size(), 1);
        QCOMPARE(sent[0].value("urgency").toInt(), 1);
        simCommand(reportLine(0, 6));
        QTest::qWait(1500);
        QCOMPARE(next(0).size(), 0);
    }

    void reportsStoppedAndResumed()
    {
        const QImage clear = trayImage();
        simCommand("silent on");
        const QList<QJsonObject> stopped = next(1);
        QCOMPARE(stopped.size(), 1);
        QCOMPARE(stopped[0].value("urgency").toInt(), 2);
        QVERIFY(trayImage() != clear);
        QVERIFY(m_form->tray().icon()->toolTip().startsWith("ValtronaAmp+ V4.1\nNo report since "));
        simCommand("silent off");
        const QList<QJsonObject> resumed = next(1);
        QCOMPARE(resumed.size(), 1);
        QCOMPARE(resumed[0].value("urgency").toInt(), 1);
        QCOMPARE(trayImage(), clear);
    }

    void linkLostAndRestored()
    {
        const QImage clear = trayImage();
        QVERIFY(m_sim.unplug());
        const QList<QJsonObject> lost = next(1);
        QCOMPARE(lost.size(), 1);
        QCOMPARE(lost[0].value("urgency").toInt(), 2);
        QVERIFY(m_form->tray().icon()->toolTip().contains(m_sim.linkPath()));
        QVERIFY(trayImage() != clear);
        QTest::qWait(6000); // no "reports stopped" follows: the loss told it all
        QCOMPARE(next(0).size(), 0);
        // The operator dismisses the missing-port message the loss brought; then ticks try again.
        QVERIFY(waitUntil([&] { return m_form->findChild<QMessageBox *>("MissingPortMessage"); }, 5000));
        m_form->findChild<QMessageBox *>("MissingPortMessage")->close();
        QVERIFY(m_sim.replug());
        const QList<QJsonObject> back = next(1);
        QCOMPARE(back.size(), 1);
        QCOMPARE(back[0].value("urgency").toInt(), 1);
        QVERIFY(waitUntil([&] { return trayImage() == clear; }, 5000));
    }

    // The grey mark of no live data is neither the clear image nor the red one. Alarm states are
    // waited for on the indicators: this alarm's notifications may be folded by now.
    void noDataImageDiffersFromAlarm()
    {
        const QImage clear = trayImage();
        simCommand(reportLine(1));
        QVERIFY(waitUntil([&] { return m_form->session().display().alarms[0]; }, 5000));
        const QImage alarm = trayImage();
        simCommand(reportLine(0));
        QVERIFY(waitUntil([&] { return !m_form->session().display().alarms[0]; }, 5000));
        QCOMPARE(trayImage(), clear);
        simCommand("silent on");
        QVERIFY(waitUntil([&] { return m_form->session().isStale(); }, 10000));
        const QImage noData = trayImage();
        simCommand("silent off");
        QVERIFY(waitUntil([&] { return !m_form->session().isStale(); }, 5000));
        QVERIFY(noData != alarm && noData != clear && alarm != clear);
        next(0);
    }

    // Run beside the window: every transition, in the order it happened.
    void eventsPrintsTheTransitionsInOrder()
    {
        const QStringList rows = eventRows();
        QVERIFY2(!rows.isEmpty() && rows.first() == "event,detail", qPrintable(rows.join('|')));
        QStringList alarms;
        for (const QString &row : rows)
            if (row.startsWith("alarm "))
                alarms << row;
        QStringList expected;
        for (const char *caption : kCaptions)
            expected << QString("alarm on,%1").arg(caption) << QString("alarm off,%1").arg(caption);
        QCOMPARE(alarms.mid(0, 10), expected);
        QVERIFY(rows.indexOf("panel started,") >= 0);
        const qsizetype lost = rows.indexOf(QRegularExpression("^link lost,.*"));
        const qsizetype restored = rows.indexOf(QRegularExpression("^link restored,.*"));
        QVERIFY(lost > 0 && restored > lost);
        QVERIFY(rows.indexOf("transmitter restarted,") > 0 || rows.indexOf(QRegularExpression("^transmitter restarted,.*")) > 0);
        const qsizetype stopped = rows.indexOf(QRegularExpression("^reports stopped,.*"));
        QVERIFY(stopped > 0 && rows.indexOf(QRegularExpression("^reports resumed,.*")) > stopped);
    }

    void cleanupTestCase()
    {
        m_form.reset();
        m_recorder.stop();
    }
};

QTEST_MAIN(TestUiAlarms)
#include "tst_ui_alarms.moc"
