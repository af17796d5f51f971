// Reports through the panel's own parser, the watch, the notification policy and the desktop
// notifier to a recording notification service on a private session bus, and into the event log:
// each alarm's on and off reaches the service once, with its caption and urgency; reports with
// garbage fields raise nothing; a restart, link loss and restore, reports stopped and resumed give
// one notification each; a flapping alarm is folded on the desktop but logged change by change.
#include "history/event_log.h"
#include "history/history_database.h"
#include "notify/desktop_notifier.h"
#include "notify/notification_scheduler.h"
#include "status/report.h"
#include "support/notification_recorder.h"
#include "support/sim_process.h"
#include "support/test_env.h"
#include "watch/transmitter_watch.h"

#include <QtTest>

namespace {

// A report as the transmitter sends it (without its "$"), with `alarmCode` and `uptime` as given
// and the other fields fixed; an empty alarm code leaves the field out.
QString reportText(const QString &alarmCode, const QString &uptime)
{
    QString text = QStringLiteral("Pfwd=250.0W,Pref=2.5W,Tpsu=35C,Tamp=41C,Iamp1=4.1A,Iamp2=4.0A,Iamp3=4.2A,"
                                  "Iamp4=4.1A,Uamp1=48.0V,Uamp2=48.1V,Uamp3=47.9V,Uamp4=48.0V,");
    text += QStringLiteral("Uptime=%1,Firmware=V4.1,PowerLimit=300W,").arg(uptime);
    if (!alarmCode.isNull())
        text += QStringLiteral("AlarmCode=%1,").arg(alarmCode);
    return text + QStringLiteral("Audio=7");
}

int uptimeField()
{
    for (int i = 0; i < report::kTextFields; ++i) {
        if (QLatin1String(report::fields()[size_t(i)].key) == QLatin1String("Uptime="))
            return i;
    }
    return -1;
}

} // namespace

class TestNotifyPipeline : public QObject
{
    Q_OBJECT
private slots:
    void reportsToDesktopAndLog();
};

void TestNotifyPipeline::reportsToDesktopAndLog()
{
    TestStoreHome home;
    NotificationRecorder recorder;
    QVERIFY2(recorder.start(), qPrintable(recorder.errorText()));

    QDateTime now = QDateTime(QDate(2024, 5, 1), QTime(10, 0), Qt::UTC);
    TransmitterWatch watch;
    // The simulated time, on both clocks: the wall clock is never set here.
    NotificationScheduler scheduler([&now] { return now; }, [&now] { return now.toMSecsSinceEpoch(); });
    DesktopNotifier notifier;
    HistoryDatabase db;
    EventLog log(db);
    log.setClock([&now] { return now; });
    connect(&watch, &TransmitterWatch::event, &scheduler, &NotificationScheduler::handle);
    connect(&watch, &TransmitterWatch::event, &log,
        [&log](const WatchEvent &e) { log.append(e.text, e.detail); });
    connect(&scheduler, &NotificationScheduler::notification, &notifier, &DesktopNotifier::notify);
    QSignalSpy failed(&notifier, &DesktopNotifier::failed);

    report::Display display = report::Display::initial();
    const int uptime = uptimeField();
    QVERIFY(uptime >= 0);
    int minute = 100;
    QString lastUptime; // the last one that read as an uptime
    // Reports come a second or more apart, long enough for the service to answer each call
    // (a notification that comes while its alarm's call is out waits, and only the newest).
    auto settle = [&] { QVERIFY(waitUntil([&] { return notifier.callsOut() == 0; }, 10000)); };
    // One report, as the session hands it on: applied to the display, the indicators and uptime
    // shown go to the watch. The clock moves on a minute and a half, unless told otherwise; the
    // uptime, unless given, by a minute.
    auto feed = [&](const QString &code, const QString &upText = QString(), int seconds = 90) {
        now = now.addSecs(seconds);
        minute += 1;
        const QString up = upText.isNull() ? QStringLiteral("0001D:%1H:%2M")
                                                 .arg(minute / 60 % 24, 2, 10, QChar('0'))
                                                 .arg(minute % 60, 2, 10, QChar('0'))
                                           : upText;
        report::apply(reportText(code, up), display);
        watch.report(display.alarms, display.texts[size_t(uptime)]);
        if (TransmitterWatch::uptimeMinutes(up))
            lastUptime = up;
        settle();
    };

    QStringList expectedCalls; // "summary|urgency"
    QStringList expectedLog; // "event|detail"
    feed(QStringLiteral("00"));
    for (int i = 0; i < watch::kAlarmCount; ++i) {
        const QString code = QStringLiteral("%1").arg(1 << i, 2, 10, QChar('0'));
        feed(code);
        feed(code); // the same again: nothing new
        feed(QStringLiteral("00"));
        expectedCalls << watch::alarmCaption(i) + "|2" << watch::alarmCaption(i) + "|1";
        expectedLog << "alarm on|" + watch::alarmCaption(i) << "alarm off|" + watch::alarmCaption(i);
    }
    // Garbage the indicators do not show gives nothing: codes that do not decode, a missing code,
    // an unreadable or missing uptime.
    for (const QString &code :
        { QStringLiteral("1x"), QStringLiteral("32"), QStringLiteral("5"), QStringLiteral(" 05"), QString() })
        feed(code);
    feed(QStringLiteral("00"), QStringLiteral("garbage"));
    feed(QStringLiteral("00"), QStringLiteral(""));

    // The transmitter restarts: its uptime goes back.
    expectedLog << "transmitter restarted|uptime 0000D:00H:00M after " + lastUptime;
    feed(QStringLiteral("00"), QStringLiteral("0000D:00H:00M"));
    expectedCalls << "Transmitter restarted|1";

    // What the session tells of the link and the reports.
    watch.linkLost(QStringLiteral("/dev/ttyUSB0"));
    settle();
    watch.linkLost(QStringLiteral("/dev/ttyUSB0"));
    watch.linkUp(QStringLiteral("/dev/ttyUSB0"));
    settle();
    const QDateTime lastReport = now;
    watch.reportsStopped(lastReport);
    settle();
    watch.reportsStopped(lastReport);
    feed(QStringLiteral("00"), QStringLiteral("0000D:00H:05M"));
    expectedCalls << "Link to the transmitter lost|2"
                  << "Link to the transmitter restored|1"
                  << "Transmitter reports stopped|2"
                  << "Transmitter reports resumed|1";
    expectedLog << "link lost|/dev/ttyUSB0"
                << "link restored|/dev/ttyUSB0"
                << "reports stopped|last report " + EventLog::timeText(lastReport) << "reports resumed|";

    // SWR flaps seven times within seconds: told on, off, on again with its count, and after the
    // minute once more with the rest; logged all seven.
    for (int k = 0; k < 7; ++k) {
        feed(k % 2 == 0 ? QStringLiteral("02") : QStringLiteral("00"), QStringLiteral("0000D:00H:06M"), 2);
        expectedLog << (k % 2 == 0 ? "alarm on|SWR ALARM" : "alarm off|SWR ALARM");
    }
    expectedCalls << "SWR ALARM|2"
                  << "SWR ALARM|1"
                  << "SWR ALARM|2";
    now = now.addSecs(60);
    scheduler.sendDue();
    expectedCalls << "SWR ALARM|2";

    // Compared below, whatever came.
    recorder.waitForCalls(int(expectedCalls.size()));
    QVERIFY(waitUntil([&] { return notifier.callsOut() == 0; }, 10000));
    QCOMPARE(failed.count(), 0);
    const QList<QJsonObject> calls = recorder.calls();
    QStringList seenCalls;
    for (const QJsonObject &c : calls) {
        QCOMPARE(c["app_name"].toString(), QStringLiteral("ValtronaAmp+"));
        seenCalls << c["summary"].toString() + "|" + QString::number(c["urgency"].toInt());
    }
    QCOMPARE(seenCalls.join(u'\n'), expectedCalls.join(u'\n'));
    // The flapping alarm's four notifications are one on the desktop, replaced each time; its
    // last one tells the seven changes.
    const qsizetype last = calls.size() - 1;
    QCOMPARE(calls[last]["replaces_id"].toInteger(), calls[last - 1]["id"].toInteger());
    QCOMPARE(calls[last - 1]["replaces_id"].toInteger(), calls[last - 2]["id"].toInteger());
    QVERIFY2(calls[last]["body"].toString().startsWith(QStringLiteral("Changed 7 times")),
        qPrintable(calls[last]["body"].toString()));
    // Each alarm's off replaces its on.
    QCOMPARE(calls[1]["replaces_id"].toInteger(), calls[0]["id"].toInteger());

    QStringList seenLog;
    for (const LoggedEvent &e : log.all())
        seenLog << e.event + "|" + e.detail;
    QCOMPARE(seenLog, expectedLog);
}

QTEST_GUILESS_MAIN(TestNotifyPipeline)
#include "tst_notify_pipeline.moc"
