// The desktop notifier against a notification service on a private session bus (ctest runs this
// under dbus-run-session; tools/notification_recorder.py records every Notify call): the app name,
// the summary and body, the urgency as the byte hint, and replaces_id carrying the id the service
// gave the previous notification of the same alarm. Without a service, the notifier says so and
// reports each notification as failed, so that the window can show it on the tray instead. The body
// is shown as it stands, markup in a device path or a wire text included; asking whether a service
// runs never waits, and a service that has hung counts as none.
#include "notify/desktop_notifier.h"
#include "notify/notification_policy.h"
#include "support/notification_recorder.h"
#include "support/sim_process.h"

#include <QDBusConnection>
#include <QJsonArray>
#include <QSignalSpy>
#include <QtTest>

namespace {

Notification note(
    const QString &key, const QString &summary, const QString &body, WatchEvent::Urgency urgency)
{
    Notification n;
    n.key = key;
    n.summary = summary;
    n.body = body;
    n.urgency = urgency;
    return n;
}

// Asks whether a service runs, as the window does, and waits for the answer.
bool serviceAnswers(DesktopNotifier &notifier)
{
    QSignalSpy answer(&notifier, &DesktopNotifier::serviceChecked);
    notifier.checkService();
    if (answer.isEmpty() && !answer.wait(3 * DesktopNotifier::kCheckTimeoutMs))
        return false;
    return answer.first().first().toBool();
}

} // namespace

class TestNotifyDesktop : public QObject
{
    Q_OBJECT
private:
    NotificationRecorder m_recorder;

private slots:
    void initTestCase();
    void withoutService();
    void calls();
    void bodyShownAsItStands_data();
    void bodyShownAsItStands();
    void burstOfOneAlarm();
    void serviceRestarted();
    void hungServiceCountsAsNone();
};

void TestNotifyDesktop::initTestCase()
{
    QVERIFY2(NotificationRecorder::onPrivateBus(),
        "run through ctest, or as dbus-run-session -- env PANEL_PRIVATE_SESSION_BUS=1 <test>");
    QVERIFY(QDBusConnection::sessionBus().isConnected());
}

void TestNotifyDesktop::withoutService()
{
    DesktopNotifier notifier;
    QVERIFY(!serviceAnswers(notifier));
    QSignalSpy failed(&notifier, &DesktopNotifier::failed);
    QSignalSpy sent(&notifier, &DesktopNotifier::sent);
    notifier.notify(note("alarm-1", "SWR ALARM", "Alarm on.", WatchEvent::Urgency::Critical));
    QVERIFY(failed.wait(10000));
    QCOMPARE(failed.first().first().value<Notification>().summary, QStringLiteral("SWR ALARM"));
    QVERIFY(!failed.first().at(1).toString().isEmpty());
    QCOMPARE(sent.count(), 0);
    QCOMPARE(notifier.idOf("alarm-1"), 0u);
}

void TestNotifyDesktop::calls()
{
    QVERIFY2(m_recorder.start(), qPrintable(m_recorder.errorText()));
    DesktopNotifier notifier;
    QVERIFY(serviceAnswers(notifier));
    QSignalSpy sent(&notifier, &DesktopNotifier::sent);
    QSignalSpy failed(&notifier, &DesktopNotifier::failed);
    using U = WatchEvent::Urgency;
    const QList<Notification> notes { note("alarm-1", "SWR ALARM", "Alarm on at 10:00:00.", U::Critical),
        note("link", "Link to the transmitter lost", "No connection on /dev/ttyUSB0.", U::Critical),
        note("alarm-1", "SWR ALARM", "Alarm off at 10:01:00.", U::Normal),
        note("alarm-3", "OVER-CURRENT ALARM", "Alarm on, \"quoted\" & <b>raw</b>.", U::Critical),
        note("link", "Link to the transmitter restored", "Connected again.", U::Normal) };
    // One after the other: each answer is in before the next call.
    for (const Notification &n : notes) {
        notifier.notify(n);
        QVERIFY(waitUntil([&] { return notifier.callsOut() == 0; }, 10000));
    }
    QCOMPARE(failed.count(), 0);
    QCOMPARE(sent.count(), notes.size());
    QVERIFY(m_recorder.waitForCalls(int(notes.size())));
    const QList<QJsonObject> calls = m_recorder.calls();
    QCOMPARE(calls.size(), notes.size());

    QHash<QString, uint> ids;
    for (int i = 0; i < notes.size(); ++i) {
        const QJsonObject &c = calls[i];
        const QString where = QStringLiteral("call %1").arg(i);
        QCOMPARE(c["app_name"].toString(), QStringLiteral("ValtronaAmp+"));
        QCOMPARE(c["summary"].toString(), notes[i].summary);
        QCOMPARE(c["shown"].toString(), notes[i].body);
        QCOMPARE(c["urgency"].toInt(), notes[i].urgency == U::Critical ? 2 : 1);
        QCOMPARE(c["urgency_type"].toString(), QStringLiteral("y"));
        QCOMPARE(c["app_icon"].toString(), QStringLiteral("org.example.valtrona_panel"));
        QVERIFY2(c["hints"].toArray().contains(QStringLiteral("desktop-entry")), qPrintable(where));
        // The first of a key replaces nothing; the next replaces the one the service showed.
        QCOMPARE(uint(c["replaces_id"].toInteger()), ids.value(notes[i].key));
        const uint id = uint(c["id"].toInteger());
        QCOMPARE(sent.at(i).at(1).toUInt(), id);
        ids.insert(notes[i].key, id);
    }
    QCOMPARE(notifier.idOf("alarm-1"), ids.value("alarm-1"));
    QVERIFY(ids.value("alarm-1") != ids.value("link"));
    QVERIFY(ids.value("alarm-1") != ids.value("alarm-3"));
}

void TestNotifyDesktop::bodyShownAsItStands_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("detail"); // a device path from the store, or a wire text
    const int lost = int(WatchEvent::Kind::LinkLost);
    const int restarted = int(WatchEvent::Kind::TransmitterRestarted);
    QTest::newRow("a tag and an ampersand in a device path") << lost << "/dev/x<b>&";
    QTest::newRow("a pair of tags in a device path") << lost << "/dev/tty<i>USB0</i>";
    QTest::newRow("an entity in a device path") << lost << "/dev/a&amp;b";
    QTest::newRow("quotes in a device path") << lost << "/dev/\"q\"'s";
    QTest::newRow("markup in the uptime texts")
        << restarted << "uptime <u>0000D:00H:01M</u> after 0001D:00H:00M & more";
}

// The texts of the store and of the wire in a notification's body reach the desktop as they stand:
// a service that reads the body as markup shows them, tags and ampersands included.
void TestNotifyDesktop::bodyShownAsItStands()
{
    QFETCH(int, kind);
    QFETCH(QString, detail);
    NotificationPolicy policy;
    const std::optional<Notification> n = policy.decide(WatchEvent::make(WatchEvent::Kind(kind), detail));
    QVERIFY(n && n->body.contains(detail));
    DesktopNotifier notifier;
    const int before = int(m_recorder.calls().size());
    QSignalSpy sent(&notifier, &DesktopNotifier::sent);
    notifier.notify(*n);
    QVERIFY(sent.wait(10000));
    QVERIFY(m_recorder.waitForCalls(before + 1));
    const QJsonObject call = m_recorder.calls().value(before);
    QVERIFY2(call["shown"].isString(), qPrintable("no markup: " + call["body"].toString()));
    QCOMPARE(call["shown"].toString(), n->body);
    QCOMPARE(call["summary"].toString(), n->summary);
}

void TestNotifyDesktop::burstOfOneAlarm()
{
    // Three changes of one alarm faster than the service answers: the first goes out, the second
    // is overtaken by the third while waiting, and the third replaces the first.
    DesktopNotifier notifier;
    const int before = int(m_recorder.calls().size());
    QSignalSpy sent(&notifier, &DesktopNotifier::sent);
    using U = WatchEvent::Urgency;
    notifier.notify(note("alarm-4", "RF OVERDRIVE ALARM", "first", U::Critical));
    notifier.notify(note("alarm-4", "RF OVERDRIVE ALARM", "second", U::Normal));
    notifier.notify(note("alarm-4", "RF OVERDRIVE ALARM", "third", U::Critical));
    QVERIFY(waitUntil([&] { return sent.count() == 2 && notifier.callsOut() == 0; }, 10000));
    const QList<QJsonObject> calls = m_recorder.calls().mid(before);
    QCOMPARE(calls.size(), 2);
    QCOMPARE(calls[0]["body"].toString(), QStringLiteral("first"));
    QCOMPARE(calls[1]["body"].toString(), QStringLiteral("third"));
    QCOMPARE(calls[1]["replaces_id"].toInteger(), calls[0]["id"].toInteger());
    QCOMPARE(calls[1]["id"].toInteger(), calls[0]["id"].toInteger());
}

void TestNotifyDesktop::serviceRestarted()
{
    DesktopNotifier notifier;
    QSignalSpy sent(&notifier, &DesktopNotifier::sent);
    QSignalSpy failed(&notifier, &DesktopNotifier::failed);
    notifier.notify(note("restart", "Transmitter restarted", "once", WatchEvent::Urgency::Normal));
    QVERIFY(sent.wait(10000));

    m_recorder.stop();
    QVERIFY(waitUntil([&] { return !serviceAnswers(notifier); }, 10000));
    notifier.notify(note("restart", "Transmitter restarted", "twice", WatchEvent::Urgency::Normal));
    QVERIFY(failed.wait(10000));

    QVERIFY2(m_recorder.start(), qPrintable(m_recorder.errorText()));
    notifier.notify(note("restart", "Transmitter restarted", "thrice", WatchEvent::Urgency::Normal));
    QVERIFY(sent.wait(10000));
    QCOMPARE(sent.count(), 2);
    QCOMPARE(failed.count(), 1);
}

// A service that owns the name and never answers: the check returns at once, the event loop runs
// on, and the answer comes by signal once the check's time is up: no service, so that the window
// shows its notifications on the tray.
void TestNotifyDesktop::hungServiceCountsAsNone()
{
    m_recorder.stop();
    NotificationRecorder hung;
    QVERIFY2(hung.start(10000, NotificationRecorder::Answers::Never), qPrintable(hung.errorText()));
    DesktopNotifier notifier;
    notifier.setCheckTimeoutMs(1500);
    QSignalSpy answer(&notifier, &DesktopNotifier::serviceChecked);
    bool turned = false;
    QTimer::singleShot(0, this, [&] { turned = answer.isEmpty(); });
    notifier.checkService();
    QVERIFY(answer.isEmpty());
    QVERIFY(notifier.isChecking());
    notifier.checkService(); // the same check
    QVERIFY(answer.wait(15000));
    QVERIFY2(turned, "the event loop did not run while the check was out");
    QCOMPARE(answer.size(), 1);
    QCOMPARE(answer.first().first().toBool(), false);
    QVERIFY(!notifier.isChecking());
}

QTEST_GUILESS_MAIN(TestNotifyDesktop)
#include "tst_notify_desktop.moc"
