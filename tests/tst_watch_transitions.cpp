// The watch gives one event per transition and nothing else: each alarm on and off, link lost and
// restored, reports stopped and resumed, the transmitter restarted, and the operator's actions;
// repeated states, unreadable uptimes and actions of the wrong kind give nothing.
//
// Each row is a sequence of steps fed to one fresh watch, and the events it must give, written as
// "text|detail|urgency|alarm". Steps: "report <bits> <uptime>" (the five indicators, bit 0 first,
// and the uptime text; "-" for an empty one), "lost <device>", "up <device>", "stopped <ISO time or
// ->", "resumed", "action <kind> <detail>".
#include "watch/transmitter_watch.h"

#include <QSignalSpy>
#include <QtTest>

namespace {

QString urgencyName(WatchEvent::Urgency u)
{
    switch (u) {
    case WatchEvent::Urgency::Critical:
        return QStringLiteral("critical");
    case WatchEvent::Urgency::Normal:
        return QStringLiteral("normal");
    default:
        return QStringLiteral("none");
    }
}

QString line(const WatchEvent &e)
{
    return QStringLiteral("%1|%2|%3|%4").arg(e.text, e.detail, urgencyName(e.urgency)).arg(e.alarm);
}

std::optional<WatchEvent::Kind> actionKind(const QString &name)
{
    using Kind = WatchEvent::Kind;
    static const QHash<QString, Kind> kinds { { "settings", Kind::SettingsDownloaded },
        { "logo", Kind::LogoDownloaded }, { "port", Kind::PortChosen }, { "started", Kind::PanelStarted },
        { "closed", Kind::PanelClosed }, { "storefailing", Kind::StoreFailing },
        { "storeworking", Kind::StoreWorking }, { "alarmon", Kind::AlarmOn },
        { "linklost", Kind::LinkLost } };
    if (!kinds.contains(name))
        return std::nullopt;
    return kinds.value(name);
}

// Feeds one step to `watch`; false when the step is not understood.
bool feed(TransmitterWatch &watch, const QString &step)
{
    const QString verb = step.section(u' ', 0, 0);
    const QString arg = step.section(u' ', 1, 1);
    const QString rest = step.section(u' ', 2);
    if (verb == QLatin1String("report")) {
        if (arg.size() != watch::kAlarmCount)
            return false;
        watch::Alarms alarms {};
        for (int i = 0; i < watch::kAlarmCount; ++i)
            alarms[size_t(i)] = arg[i] == u'1';
        watch.report(alarms, rest == QLatin1String("-") ? QString() : rest);
    } else if (verb == QLatin1String("lost")) {
        watch.linkLost(arg);
    } else if (verb == QLatin1String("up")) {
        watch.linkUp(arg);
    } else if (verb == QLatin1String("stopped")) {
        watch.reportsStopped(
            arg == QLatin1String("-") ? QDateTime() : QDateTime::fromString(arg, Qt::ISODateWithMs));
    } else if (verb == QLatin1String("resumed")) {
        watch.reportsResumed();
    } else if (verb == QLatin1String("action")) {
        const std::optional<WatchEvent::Kind> kind = actionKind(arg);
        if (!kind)
            return false;
        watch.noteAction(*kind, rest);
    } else {
        return false;
    }
    return true;
}

QString bits(int onlyBit)
{
    QString s(watch::kAlarmCount, u'0');
    if (onlyBit >= 0)
        s[onlyBit] = u'1';
    return s;
}

} // namespace

class TestWatchTransitions : public QObject
{
    Q_OBJECT
private slots:
    void sequences_data();
    void sequences();
    void stateFollowsTheEvents();
    void uptimeTexts_data();
    void uptimeTexts();
};

void TestWatchTransitions::sequences_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("expected");
    const QString up = QStringLiteral("0000D:01H:00M");

    QTest::newRow("first report, all off: nothing") << QStringList { "report 00000 " + up } << QStringList {};
    QTest::newRow("first report with alarms on: told")
        << QStringList { "report 01010 " + up }
        << QStringList { "alarm on|SWR ALARM|critical|1", "alarm on|OVER-CURRENT ALARM|critical|3" };

    // Each alarm on and off once, whatever repeats in between.
    const char *captions[]
        = { "AMP T ALARM", "SWR ALARM", "PSU T ALARM", "OVER-CURRENT ALARM", "RF OVERDRIVE ALARM" };
    for (int i = 0; i < watch::kAlarmCount; ++i) {
        QTest::addRow("alarm %d on and off", i)
            << QStringList { "report 00000 " + up, "report " + bits(i) + " " + up,
                   "report " + bits(i) + " " + up, "report 00000 " + up, "report 00000 " + up }
            << QStringList { QStringLiteral("alarm on|%1|critical|%2").arg(captions[i]).arg(i),
                   QStringLiteral("alarm off|%1|normal|%2").arg(captions[i]).arg(i) };
    }
    QTest::newRow("all five at once, then one stays")
        << QStringList { "report 11111 " + up, "report 00100 " + up }
        << QStringList { "alarm on|AMP T ALARM|critical|0", "alarm on|SWR ALARM|critical|1",
               "alarm on|PSU T ALARM|critical|2", "alarm on|OVER-CURRENT ALARM|critical|3",
               "alarm on|RF OVERDRIVE ALARM|critical|4", "alarm off|AMP T ALARM|normal|0",
               "alarm off|SWR ALARM|normal|1", "alarm off|OVER-CURRENT ALARM|normal|3",
               "alarm off|RF OVERDRIVE ALARM|normal|4" };

    QTest::newRow("restart: uptime goes back")
        << QStringList { "report 00000 0012D:03H:45M", "report 00000 0012D:03H:46M",
               "report 00000 0000D:00H:01M", "report 00000 0000D:00H:02M" }
        << QStringList { "transmitter restarted|uptime 0000D:00H:01M after 0012D:03H:46M|normal|-1" };
    QTest::newRow("restart told before the alarms it clears")
        << QStringList { "report 01000 0001D:00H:00M", "report 00000 0000D:00H:00M" }
        << QStringList { "alarm on|SWR ALARM|critical|1",
               "transmitter restarted|uptime 0000D:00H:00M after 0001D:00H:00M|normal|-1",
               "alarm off|SWR ALARM|normal|1" };
    QTest::newRow("uptime over midnight and over a day: no restart") << QStringList {
        "report 00000 0000D:23H:59M", "report 00000 0001D:00H:00M", "report 00000 0001D:00H:00M"
    } << QStringList {};
    // Unreadable uptimes change nothing, and the last readable one stays the baseline.
    QTest::newRow("garbage uptimes: nothing, baseline kept") << QStringList {
        "report 00000 0012D:03H:45M", "report 00000 garbage", "report 00000 -", "report 00000 0000D:25H:00M",
        "report 00000 0000D:00H:60M", "report 00000 12D3H", "report 00000 -0001D:00H:00M",
        "report 00000 0000D:00H:00M,", "report 00000 0012D:03H:45M", "report 00000 0012D:03H:44M"
    } << QStringList { "transmitter restarted|uptime 0012D:03H:44M after 0012D:03H:45M|normal|-1" };
    QTest::newRow("another port: its uptime is a new baseline") << QStringList {
        "report 00000 0040D:00H:00M", "action port COM 6 /dev/ttyUSB1", "report 00000 0000D:00H:05M"
    } << QStringList { "port chosen|COM 6 /dev/ttyUSB1|none|-1" };

    QTest::newRow("link lost once, restored once") << QStringList {
        "up /dev/ttyUSB0", "lost /dev/ttyUSB0", "lost /dev/ttyUSB0", "up /dev/ttyUSB0", "up /dev/ttyUSB0"
    } << QStringList { "link lost|/dev/ttyUSB0|critical|-1", "link restored|/dev/ttyUSB0|normal|-1" };
    QTest::newRow("lost at start, then another device lost too")
        << QStringList { "lost /dev/ttyUSB0", "lost /dev/ttyUSB1", "up /dev/ttyUSB1" }
        << QStringList { "link lost|/dev/ttyUSB0|critical|-1", "link lost|/dev/ttyUSB1|critical|-1",
               "link restored|/dev/ttyUSB1|normal|-1" };

    QTest::newRow("reports stopped once, resumed once")
        << QStringList { "resumed", "stopped 2024-05-01T10:00:01.250Z", "stopped 2024-05-01T10:00:01.250Z",
               "resumed", "resumed" }
        << QStringList { "reports stopped|last report 2024-05-01T10:00:01.250Z|critical|-1",
               "reports resumed||normal|-1" };
    QTest::newRow("a report resumes them")
        << QStringList { "stopped -", "report 00000 " + up, "resumed" }
        << QStringList { "reports stopped|no report yet|critical|-1", "reports resumed||normal|-1" };

    QTest::newRow("actions, each as it comes")
        << QStringList { "action started", "action settings TXPower=80 SWRAlarm=>80W",
               "action logo LINE ONE / LINE TWO", "action storefailing disk full", "action storeworking",
               "action closed" }
        << QStringList { "panel started||none|-1", "settings downloaded|TXPower=80 SWRAlarm=>80W|none|-1",
               "logo downloaded|LINE ONE / LINE TWO|none|-1", "store saves failing|disk full|none|-1",
               "store saves working||none|-1", "panel closed||none|-1" };
    QTest::newRow("transitions are not actions")
        << QStringList { "action alarmon SWR ALARM", "action linklost /dev/ttyS0" } << QStringList {};
}

void TestWatchTransitions::sequences()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, expected);
    TransmitterWatch watch;
    QStringList seen;
    connect(&watch, &TransmitterWatch::event, this, [&seen](const WatchEvent &e) { seen << line(e); });
    for (const QString &step : steps)
        QVERIFY2(feed(watch, step), qPrintable(step));
    QCOMPARE(seen, expected);
}

void TestWatchTransitions::stateFollowsTheEvents()
{
    TransmitterWatch watch;
    QSignalSpy changes(&watch, &TransmitterWatch::stateChanged);
    const QDateTime last = QDateTime::fromString("2024-05-01T10:00:01.250Z", Qt::ISODateWithMs);

    feed(watch, "report 00101 0000D:00H:01M");
    QCOMPARE(watch.state().alarms, (watch::Alarms { false, false, true, false, true }));
    QVERIFY(watch.state().anyAlarm());
    feed(watch, "report 00101 0000D:00H:02M"); // the same indicators: no change of state
    QCOMPARE(changes.count(), 1);

    watch.reportsStopped(last);
    QVERIFY(watch.state().reportsStopped);
    QCOMPARE(watch.state().lastReport, last);
    QVERIFY(!watch.state().hasLiveData());
    feed(watch, "lost /dev/ttyACM0");
    QCOMPARE(watch.state().lostDevice, QStringLiteral("/dev/ttyACM0"));
    feed(watch, "up /dev/ttyACM0");
    feed(watch, "report 00000 0000D:00H:03M"); // resumes the reports and clears the alarms
    QCOMPARE(watch.state(), WatchState());
    QCOMPARE(changes.count(), 5);
    QCOMPARE(changes.last().first().value<WatchState>(), WatchState());
}

void TestWatchTransitions::uptimeTexts_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("minutes"); // -1: unreadable
    QTest::newRow("zero") << "0000D:00H:00M" << qint64(0);
    QTest::newRow("typical") << "0012D:03H:45M" << qint64((12 * 24 + 3) * 60 + 45);
    QTest::newRow("short fields") << "1D:2H:3M" << qint64((24 + 2) * 60 + 3);
    QTest::newRow("many days") << "12345D:23H:59M" << qint64((12345 * 24 + 23) * 60 + 59);
    QTest::newRow("24 hours") << "0000D:24H:00M" << qint64(-1);
    QTest::newRow("60 minutes") << "0000D:00H:60M" << qint64(-1);
    QTest::newRow("blank around") << " 0000D:00H:01M" << qint64(-1);
    QTest::newRow("lower case") << "0000d:00h:01m" << qint64(-1);
    QTest::newRow("missing minutes") << "0000D:00H:" << qint64(-1);
    QTest::newRow("empty") << "" << qint64(-1);
    QTest::newRow("sign") << "+001D:00H:01M" << qint64(-1);
    QTest::newRow("seven digits of days") << "9999999D:23H:59M" << qint64((9999999LL * 24 + 23) * 60 + 59);
    QTest::newRow("eight digits of days") << "00000001D:00H:01M" << qint64(-1);
    QTest::newRow("three digits of hours") << "0000D:001H:01M" << qint64(-1);
    QTest::newRow("three digits of minutes") << "0000D:01H:001M" << qint64(-1);
    QTest::newRow("one line end after") << "0000D:00H:01M\n" << qint64(1);
    QTest::newRow("two line ends after") << "0000D:00H:01M\n\n" << qint64(-1);
    QTest::newRow("return after") << "0000D:00H:01M\r" << qint64(-1);
    QTest::newRow("blank after") << "0000D:00H:01M " << qint64(-1);
    QTest::newRow("blank inside") << "0000D: 00H:01M" << qint64(-1);
    QTest::newRow("digits of another script") << QString::fromUtf8("\u0661D:00H:01M") << qint64(-1);
    QTest::newRow("full-width digits") << QString::fromUtf8("\uff11D:00H:01M") << qint64(-1);
    QTest::newRow("no days") << "D:00H:01M" << qint64(-1);
}

void TestWatchTransitions::uptimeTexts()
{
    QFETCH(QString, text);
    QFETCH(qint64, minutes);
    const std::optional<qint64> read = TransmitterWatch::uptimeMinutes(text);
    QCOMPARE(read.value_or(-1), minutes);
}

QTEST_GUILESS_MAIN(TestWatchTransitions)
#include "tst_watch_transitions.moc"
