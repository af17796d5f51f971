// Which events become notifications and what they say, on a simulated clock: an alarm's on and off
// are told at once; an alarm that comes on again within a minute of its last notification is told
// at once with its count of changes and then folded, one notification per minute saying how often
// it changed and how it stands; link, reports and restart have their own keys and urgencies; the
// operator's actions are never told; and the [Notifications] group of the store turns kinds off.
// The folding windows run on a steady clock: the wall clock set back or ahead changes only the
// times the texts tell.
#include "notify/notification_policy.h"
#include "notify/notification_scheduler.h"
#include "settings/store.h"
#include "support/test_env.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

namespace {

const QDateTime kStart = QDateTime(QDate(2024, 5, 1), QTime(10, 0), Qt::UTC);

QString urgencyName(WatchEvent::Urgency u)
{
    return u == WatchEvent::Urgency::Critical ? QStringLiteral("critical")
        : u == WatchEvent::Urgency::Normal    ? QStringLiteral("normal")
                                              : QStringLiteral("none");
}

// "key|summary|urgency|changes|state", the state being "on" or "off" as the body ends.
QString line(const Notification &n)
{
    static const QRegularExpression state(QStringLiteral("\\b(on|off)[ .a-z0-9:]*$"));
    const QRegularExpressionMatch m = state.match(n.body);
    return QStringLiteral("%1|%2|%3|%4|%5")
        .arg(n.key, n.summary, urgencyName(n.urgency))
        .arg(n.changes)
        .arg(m.hasMatch() ? m.captured(1) : QStringLiteral("-"));
}

// A steady clock that runs with the simulated wall clock `now` (for the cases that never set it).
NotificationPolicy::SteadyClock runningWith(const QDateTime &now)
{
    return [&now] { return now.toMSecsSinceEpoch(); };
}

QString clockText(const QDateTime &time)
{
    return time.toLocalTime().toString(QStringLiteral("hh:mm:ss"));
}

WatchEvent alarmEvent(bool on, int alarm)
{
    return WatchEvent::make(
        on ? WatchEvent::Kind::AlarmOn : WatchEvent::Kind::AlarmOff, watch::alarmCaption(alarm), alarm);
}

} // namespace

class TestNotifyPolicy : public QObject
{
    Q_OBJECT
private slots:
    void alarms_data();
    void alarms();
    void foldingAcrossClockStep_data();
    void foldingAcrossClockStep();
    void foldedBodySaysHowOften();
    void otherKinds();
    void settingsTurnKindsOff_data();
    void settingsTurnKindsOff();
    void settingsFromTheStore();
    void schedulerSendsFoldedOnesWhenDue();
};

// Steps: "<second> on|off <alarm>" feeds an event at that second of the simulated clock, "<second>
// due" asks for what is due then. Expected: every notification given, in order.
void TestNotifyPolicy::alarms_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("on, then off much later") << QStringList { "0 on 1", "120 off 1",
        "300 due" } << QStringList { "alarm-1|SWR ALARM|critical|1|on", "alarm-1|SWR ALARM|normal|1|off" };
    QTest::newRow("off soon after on is still told at once")
        << QStringList { "0 on 3", "5 off 3", "100 due" }
        << QStringList { "alarm-3|OVER-CURRENT ALARM|critical|1|on",
               "alarm-3|OVER-CURRENT ALARM|normal|1|off" };
    QTest::newRow("on again within a minute: told with the count, then folded")
        << QStringList { "0 on 1", "5 off 1", "10 on 1", "12 off 1", "14 on 1", "16 off 1", "18 on 1",
               "69 due", "70 due", "130 due" }
        << QStringList { "alarm-1|SWR ALARM|critical|1|on", "alarm-1|SWR ALARM|normal|1|off",
               "alarm-1|SWR ALARM|critical|3|on", "alarm-1|SWR ALARM|critical|7|on" };
    QTest::newRow("flapping that ends off is told as off")
        << QStringList { "0 on 0", "30 off 0", "40 on 0", "50 off 0", "100 due" }
        << QStringList { "alarm-0|AMP T ALARM|critical|1|on", "alarm-0|AMP T ALARM|normal|1|off",
               "alarm-0|AMP T ALARM|critical|3|on", "alarm-0|AMP T ALARM|normal|4|off" };
    QTest::newRow("a minute-long flood: one notification a minute")
        << QStringList { "0 on 4", "1 off 4", "2 on 4", "3 off 4", "4 on 4", "30 off 4", "61 on 4", "62 due",
               "90 off 4", "100 on 4", "121 due", "122 off 4", "181 due", "241 due", "300 on 4" }
        << QStringList { "alarm-4|RF OVERDRIVE ALARM|critical|1|on",
               "alarm-4|RF OVERDRIVE ALARM|normal|1|off", "alarm-4|RF OVERDRIVE ALARM|critical|3|on",
               "alarm-4|RF OVERDRIVE ALARM|critical|7|on", "alarm-4|RF OVERDRIVE ALARM|normal|10|off",
               "alarm-4|RF OVERDRIVE ALARM|critical|1|on" };
    QTest::newRow("each alarm folds on its own")
        << QStringList { "0 on 1", "1 on 2", "2 off 1", "3 on 1", "4 off 2", "60 due", "61 due" }
        << QStringList { "alarm-1|SWR ALARM|critical|1|on", "alarm-2|PSU T ALARM|critical|1|on",
               "alarm-1|SWR ALARM|normal|1|off", "alarm-1|SWR ALARM|critical|3|on",
               "alarm-2|PSU T ALARM|normal|1|off" };
}

void TestNotifyPolicy::alarms()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, expected);
    QDateTime now = kStart;
    NotificationPolicy policy([&now] { return now; }, runningWith(now));
    QStringList seen;
    for (const QString &step : steps) {
        const QStringList parts = step.split(u' ');
        now = kStart.addSecs(parts[0].toInt());
        if (parts[1] == QLatin1String("due")) {
            for (const Notification &n : policy.takeDue())
                seen << line(n);
        } else if (const std::optional<Notification> n
            = policy.decide(alarmEvent(parts[1] == QLatin1String("on"), parts[2].toInt()))) {
            seen << line(*n);
        }
    }
    QCOMPARE(seen, expected);
}

// Steps: "<second> on|off <alarm>" and "<second> due" as above, the second being the steady
// clock's; "<second> wall <seconds>" sets the wall clock that much ahead (or back, negative) while
// the steady clock runs on. Expected: every notification given, in order.
void TestNotifyPolicy::foldingAcrossClockStep_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("expected");

    // Before, the alarm stayed silent for the two hours, also when it came back.
    QTest::newRow("set back two hours while flapping")
        << QStringList { "0 on 1", "5 off 1", "10 on 1", "11 wall -7200", "12 off 1", "70 due", "130 due",
               "200 on 1" }
        << QStringList { "alarm-1|SWR ALARM|critical|1|on", "alarm-1|SWR ALARM|normal|1|off",
               "alarm-1|SWR ALARM|critical|3|on", "alarm-1|SWR ALARM|normal|4|off",
               "alarm-1|SWR ALARM|critical|1|on" };
    // Before, the window ended at the step and the flapping was told at once, and again.
    QTest::newRow("set ahead a day while flapping")
        << QStringList { "0 on 1", "5 off 1", "10 on 1", "11 wall 86400", "12 off 1", "13 due", "14 on 1",
               "70 due" }
        << QStringList { "alarm-1|SWR ALARM|critical|1|on", "alarm-1|SWR ALARM|normal|1|off",
               "alarm-1|SWR ALARM|critical|3|on", "alarm-1|SWR ALARM|critical|5|on" };
    QTest::newRow("set back, then ahead again")
        << QStringList { "0 on 3", "20 wall -3600", "30 off 3", "40 on 3", "41 wall 3600", "45 off 3",
               "100 due", "160 due", "161 on 3" }
        << QStringList { "alarm-3|OVER-CURRENT ALARM|critical|1|on",
               "alarm-3|OVER-CURRENT ALARM|normal|1|off", "alarm-3|OVER-CURRENT ALARM|critical|3|on",
               "alarm-3|OVER-CURRENT ALARM|normal|4|off", "alarm-3|OVER-CURRENT ALARM|critical|1|on" };
}

void TestNotifyPolicy::foldingAcrossClockStep()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, expected);
    qint64 steadyMs = 0;
    qint64 wallOffset = 0; // seconds the wall clock was set by
    QDateTime wall = kStart;
    NotificationPolicy policy([&wall] { return wall; }, [&steadyMs] { return steadyMs; });
    QStringList seen;
    for (const QString &step : steps) {
        const QStringList parts = step.split(u' ');
        const int second = parts[0].toInt();
        if (parts[1] == QLatin1String("wall"))
            wallOffset += parts[2].toInt();
        steadyMs = qint64(second) * 1000;
        wall = kStart.addSecs(second + wallOffset);
        if (parts[1] == QLatin1String("due")) {
            for (const Notification &n : policy.takeDue())
                seen << line(n);
        } else if (parts[1] != QLatin1String("wall")) {
            const std::optional<Notification> n
                = policy.decide(alarmEvent(parts[1] == QLatin1String("on"), parts[2].toInt()));
            if (!n)
                continue;
            seen << line(*n);
            // The texts tell the wall clock's time.
            if (n->changes == 1)
                QVERIFY2(n->body.contains(clockText(wall)), qPrintable(n->body));
        }
    }
    QCOMPARE(seen, expected);
}

void TestNotifyPolicy::foldedBodySaysHowOften()
{
    QDateTime now = kStart;
    NotificationPolicy policy([&now] { return now; }, runningWith(now));
    QVERIFY(policy.decide(alarmEvent(true, 1)));
    now = now.addSecs(5);
    QVERIFY(policy.decide(alarmEvent(false, 1)));
    QCOMPARE(policy.msUntilDue(), -1);
    now = now.addSecs(5);
    const std::optional<Notification> flap = policy.decide(alarmEvent(true, 1));
    QVERIFY(flap);
    QVERIFY2(flap->body.startsWith(QStringLiteral("Changed 3 times since ")), qPrintable(flap->body));
    QCOMPARE(policy.msUntilDue(), 60000);
    now = now.addSecs(1);
    QVERIFY(!policy.decide(alarmEvent(false, 1)));
    now = now.addSecs(59);
    const QList<Notification> due = policy.takeDue();
    QCOMPARE(due.size(), 1);
    QVERIFY2(
        due.first().body.startsWith(QStringLiteral("Changed 4 times since ")), qPrintable(due.first().body));
    QVERIFY2(due.first().body.endsWith(QStringLiteral("now off.")), qPrintable(due.first().body));
    QCOMPARE(due.first().key, flap->key); // the same notification, replaced
}

void TestNotifyPolicy::otherKinds()
{
    QDateTime now = kStart;
    NotificationPolicy policy([&now] { return now; }, runningWith(now));
    using Kind = WatchEvent::Kind;
    auto decide = [&policy](const WatchEvent &e) {
        const std::optional<Notification> n = policy.decide(e);
        return n ? QStringLiteral("%1|%2|%3").arg(n->key, n->summary, urgencyName(n->urgency))
                 : QStringLiteral("-");
    };
    QCOMPARE(decide(WatchEvent::make(Kind::LinkLost, "/dev/ttyUSB0")),
        QStringLiteral("link|Link to the transmitter lost|critical"));
    QCOMPARE(decide(WatchEvent::make(Kind::LinkRestored, "/dev/ttyUSB0")),
        QStringLiteral("link|Link to the transmitter restored|normal"));
    WatchEvent stopped = WatchEvent::make(Kind::ReportsStopped, "last report");
    stopped.since = kStart.addSecs(-5);
    QCOMPARE(decide(stopped), QStringLiteral("reports|Transmitter reports stopped|critical"));
    QCOMPARE(decide(WatchEvent::make(Kind::ReportsResumed)),
        QStringLiteral("reports|Transmitter reports resumed|normal"));
    QCOMPARE(decide(WatchEvent::make(Kind::TransmitterRestarted, "uptime 0000D:00H:01M after 0001D:00H:00M")),
        QStringLiteral("restart|Transmitter restarted|normal"));
    for (Kind action : { Kind::SettingsDownloaded, Kind::LogoDownloaded, Kind::PortChosen, Kind::PanelStarted,
             Kind::PanelClosed, Kind::StoreFailing, Kind::StoreWorking })
        QCOMPARE(decide(WatchEvent::make(action, "x")), QStringLiteral("-"));

    const std::optional<Notification> lost = policy.decide(WatchEvent::make(Kind::LinkLost, "/dev/ttyACM0"));
    QVERIFY(lost && lost->body.contains(QStringLiteral("/dev/ttyACM0")));
    const std::optional<Notification> halt = policy.decide(stopped);
    QVERIFY(halt && halt->body.contains(stopped.since.toLocalTime().toString(QStringLiteral("hh:mm:ss"))));
}

void TestNotifyPolicy::settingsTurnKindsOff_data()
{
    QTest::addColumn<QString>("off"); // the setting turned off
    QTest::addColumn<QStringList>("told"); // of: alarm, link, reports, restart
    QTest::newRow("nothing off") << "" << QStringList { "alarm", "link", "reports", "restart" };
    QTest::newRow("Enabled") << "enabled" << QStringList {};
    QTest::newRow("Alarms") << "alarms" << QStringList { "link", "reports", "restart" };
    QTest::newRow("Link") << "link" << QStringList { "alarm", "reports", "restart" };
    QTest::newRow("Reports") << "reports" << QStringList { "alarm", "link", "restart" };
    QTest::newRow("Restart") << "restart" << QStringList { "alarm", "link", "reports" };
}

void TestNotifyPolicy::settingsTurnKindsOff()
{
    QFETCH(QString, off);
    QFETCH(QStringList, told);
    NotificationSettings settings;
    settings.enabled = off != QLatin1String("enabled");
    settings.alarms = off != QLatin1String("alarms");
    settings.link = off != QLatin1String("link");
    settings.reports = off != QLatin1String("reports");
    settings.restart = off != QLatin1String("restart");
    NotificationPolicy policy;
    policy.setSettings(settings);
    using Kind = WatchEvent::Kind;
    const QList<QPair<QString, WatchEvent>> events { { "alarm", alarmEvent(true, 2) },
        { "link", WatchEvent::make(Kind::LinkLost, "/dev/ttyS0") },
        { "reports", WatchEvent::make(Kind::ReportsStopped) },
        { "restart", WatchEvent::make(Kind::TransmitterRestarted, "x") } };
    QStringList seen;
    for (const auto &e : events) {
        if (policy.decide(e.second))
            seen << e.first;
    }
    QCOMPARE(seen, told);
}

void TestNotifyPolicy::settingsFromTheStore()
{
    TestStoreHome home;
    SettingsStore &store = SettingsStore::instance();
    QCOMPARE(NotificationSettings::load(store).enabled, true); // no file: all on

    const QByteArray before(
        "[ValtronaAmp+]\nTXPower=80\n\n[Notifications]\nLink=false\nAlarms=0\nRestart=maybe\n");
    home.writeStore(before);
    const NotificationSettings s = NotificationSettings::load(store);
    QVERIFY(s.enabled);
    QVERIFY(!s.alarms);
    QVERIFY(!s.link);
    QVERIFY(s.reports); // missing
    QVERIFY(s.restart); // unreadable

    // The defaults go in beside what the operator wrote, in the group of their own.
    QVERIFY(NotificationSettings::addDefaults(store));
    const QByteArray after = home.storeBytes();
    QVERIFY2(after.startsWith("[ValtronaAmp+]\nTXPower=80\n\n[Notifications]\n"), after.constData());
    const QString group = QStringLiteral("Notifications");
    QCOMPARE(store.groupValue(group, "Link"), QStringLiteral("false"));
    QCOMPARE(store.groupValue(group, "Restart"), QStringLiteral("maybe"));
    QCOMPARE(store.groupValue(group, "Enabled"), QStringLiteral("true"));
    QCOMPARE(store.groupValue(group, "Reports"), QStringLiteral("true"));
    QCOMPARE(store.groupValue("ValtronaAmp+", "Enabled", "absent"), QStringLiteral("absent"));
    QVERIFY(!NotificationSettings::load(store).link);
}

void TestNotifyPolicy::schedulerSendsFoldedOnesWhenDue()
{
    QDateTime now = kStart;
    NotificationScheduler scheduler([&now] { return now; }, runningWith(now));
    QSignalSpy sent(&scheduler, &NotificationScheduler::notification);
    scheduler.handle(alarmEvent(true, 1));
    now = now.addSecs(1);
    scheduler.handle(alarmEvent(false, 1));
    now = now.addSecs(1);
    scheduler.handle(alarmEvent(true, 1));
    now = now.addSecs(1);
    scheduler.handle(alarmEvent(false, 1));
    QCOMPARE(sent.count(), 3);
    now = now.addSecs(60);
    scheduler.sendDue();
    QCOMPARE(sent.count(), 4);
    QCOMPARE(sent.last().first().value<Notification>().changes, 4);

    // Quiet (the window is active): decided, not sent.
    scheduler.setQuiet(true);
    now = now.addSecs(600);
    scheduler.handle(WatchEvent::make(WatchEvent::Kind::LinkLost, "/dev/ttyS0"));
    QCOMPARE(sent.count(), 4);
    scheduler.setQuiet(false);
    scheduler.handle(WatchEvent::make(WatchEvent::Kind::LinkRestored, "/dev/ttyS0"));
    QCOMPARE(sent.count(), 5);
}

QTEST_GUILESS_MAIN(TestNotifyPolicy)
#include "tst_notify_policy.moc"
