// The panel over the network, against Debian's real ser2net in front of the simulator's
// pseudo-terminal: a raw TCP accepter (tcp://) or a Telnet one with RFC 2217 (rfc2217://) on a
// loopback port of the test's own. The same commands put the same bytes at the simulator as over
// the local pseudo-terminal, and over RFC 2217 the line is set to 9600 8N1; a server that is
// killed and started again is a lost link that is restored; a server that goes silent (SIGSTOP) is
// found dead; a second panel on the same server is turned away, as ser2net does without kickolduser.
#include "session/session.h"
#include "settings/record.h"
#include "settings/store.h"
#include "station/station.h"
#include "support/ser2net_process.h"
#include "support/sim_process.h"
#include "support/test_env.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

namespace {

// Every byte the simulator has read, in order, from its log's chunks from index `from` on.
QByteArray simRead(const SimProcess &sim, qsizetype from = 0)
{
    QByteArray bytes;
    const QList<QJsonObject> chunks = sim.logRecords(QStringLiteral("chunk"));
    for (qsizetype i = from; i < chunks.size(); ++i)
        bytes += QByteArray::fromHex(chunks[i].value(QStringLiteral("hex")).toString().toLatin1());
    return bytes;
}

qsizetype chunkCount(const SimProcess &sim)
{
    return sim.logRecords(QStringLiteral("chunk")).size();
}

// A logo line with the bytes a Telnet or a serial layer could mistake: 0xFF and a carriage return.
const QString kLogoLine1 = QStringLiteral("Ab\u00FFcd\rEfghijklmn");

} // namespace

class TestE2eSer2net : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void sameBytesAsTheLocalPort_data();
    void sameBytesAsTheLocalPort();
    void restartedServerIsLostThenRestored();
    void stoppedServerIsFoundDead();
    void secondPanelIsToldBusy();

private:
    void usePort(const QString &entry);
    // Runs `operation` on a fresh session over `entry` and returns what the simulator read meanwhile.
    // m_lineDuring gets the simulator's line settings while the session was open ("9600 8N1").
    QByteArray bytesOf(const QString &operation, const QString &entry);
    // Opens the session's link (a network one opens in the background).
    static bool openLink(TransmitterSession &session);

    TestStoreHome m_home; // before anything touches the store
    SimProcess m_sim;
    QString m_lineDuring;
};

void TestE2eSer2net::initTestCase()
{
    QVERIFY2(m_sim.start(), m_sim.stderrText().constData());
}

void TestE2eSer2net::init()
{
    m_home.removeStore();
}

void TestE2eSer2net::usePort(const QString &entry)
{
    m_home.writeStore("[Ports]\nCOM1=" + entry.toUtf8() + "\n");
    LoadSettings();
    settingsRecord().COMSelected = 1;
}

bool TestE2eSer2net::openLink(TransmitterSession &session)
{
    session.startUp();
    return session.isLinkOpen() || waitUntil([&] { return session.isLinkOpen(); }, 10000);
}

QByteArray TestE2eSer2net::bytesOf(const QString &operation, const QString &entry)
{
    usePort(entry);
    settingsRecord().LogoLine1 = kLogoLine1;
    settingsRecord().LogoLine2 = QStringLiteral("Hello Listeners!");
    TransmitterSession session;
    if (!openLink(session))
        return "link did not open";
    const qsizetype from = chunkCount(m_sim);
    bool done = false;
    bool whole = false;
    QObject::connect(&session, &TransmitterSession::displayChanged, [&] { done = true; });
    QObject::connect(&session, &TransmitterSession::amplifierDownloaded, [&](bool w) { done = whole = w; });
    QObject::connect(&session, &TransmitterSession::logoDownloaded, [&](bool w) { done = whole = w; });
    TransmitterSession::Outcome outcome = TransmitterSession::Outcome::Refused;
    if (operation == QLatin1String("status"))
        outcome = session.readStatus();
    else if (operation == QLatin1String("settings"))
        outcome = session.downloadAmplifier();
    else
        outcome = session.downloadLogo();
    if (outcome != TransmitterSession::Outcome::Started)
        return "not started";
    if (!waitUntil([&] { return done; }, 30000))
        return "did not end";
    QTest::qWait(300); // the last bytes on their way through the server
    m_lineDuring
        = m_sim.state().value(QStringLiteral("line")).toObject().value(QStringLiteral("text")).toString();
    session.shutDown();
    return simRead(m_sim, from);
}

void TestE2eSer2net::sameBytesAsTheLocalPort_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<Ser2netProcess::Accepter>("accepter");
    const auto raw = Ser2netProcess::Accepter::Raw;
    const auto rfc2217 = Ser2netProcess::Accepter::Rfc2217;
    QTest::newRow("status reading") << "status" << raw;
    QTest::newRow("settings download") << "settings" << raw;
    QTest::newRow("logo download") << "logo" << raw;
    QTest::newRow("rfc2217 status reading") << "status" << rfc2217;
    QTest::newRow("rfc2217 settings download") << "settings" << rfc2217;
    QTest::newRow("rfc2217 logo download") << "logo" << rfc2217;
}

void TestE2eSer2net::sameBytesAsTheLocalPort()
{
    QFETCH(QString, operation);
    QFETCH(Ser2netProcess::Accepter, accepter);
    const QByteArray local = bytesOf(operation, m_sim.linkPath());
    QVERIFY(local.size() >= 6); // the status request is one frame of six bytes
    if (operation == QLatin1String("logo")) // the bytes that matter are there to be compared
        QVERIFY(local.contains("\xFF") && local.contains('\r'));

    Ser2netProcess server(accepter);
    QVERIFY2(server.start(m_sim.linkPath()), qPrintable(server.errorText()));
    const QByteArray remote = bytesOf(operation, server.entry());
    QCOMPARE(remote.toHex(' '), local.toHex(' '));
    // The RFC 2217 server opens the line at 19200 baud: only the panel's requests make it 9600.
    if (accepter == Ser2netProcess::Accepter::Rfc2217)
        QCOMPARE(m_lineDuring, QStringLiteral("9600 8N1"));
}

void TestE2eSer2net::restartedServerIsLostThenRestored()
{
    Ser2netProcess server;
    QVERIFY2(server.start(m_sim.linkPath()), qPrintable(server.errorText()));
    usePort(server.entry());
    TransmitterSession session;
    Station station(session);
    QList<WatchEvent::Kind> events;
    connect(&station.watch(), &TransmitterWatch::event, this, [&](const WatchEvent &e) { events << e.kind; });
    session.setAutoRead(true);
    QTimer tick;
    tick.setInterval(1000);
    connect(&tick, &QTimer::timeout, &session, &TransmitterSession::tick);
    tick.start();
    QSignalSpy reports(&session, &TransmitterSession::displayChanged);
    QVERIFY(waitUntil([&] { return reports.size() > 0; }, 15000));

    QSignalSpy failed(&session, &TransmitterSession::linkFailed);
    server.kill();
    QVERIFY(waitUntil([&] { return !failed.isEmpty(); }, 10000));
    QCOMPARE(failed.first().at(0).value<LinkFailure>(), LinkFailure::Lost);
    QVERIFY(failed.first().at(1).toString().contains(server.entry()));
    QVERIFY(events.contains(WatchEvent::Kind::LinkLost));

    QVERIFY2(server.start(m_sim.linkPath()), qPrintable(server.errorText()));
    reports.clear();
    QVERIFY(waitUntil(
        [&] { return events.contains(WatchEvent::Kind::LinkRestored) && reports.size() > 0; }, 40000));
    QVERIFY(session.isLinkOpen());

    // The next download goes out whole.
    tick.stop();
    QSignalSpy downloaded(&session, &TransmitterSession::amplifierDownloaded);
    QCOMPARE(session.downloadAmplifier(), TransmitterSession::Outcome::Started);
    QVERIFY(downloaded.wait(30000));
    QCOMPARE(downloaded.first().first().toBool(), true);
    session.shutDown();
}

void TestE2eSer2net::stoppedServerIsFoundDead()
{
    Ser2netProcess server;
    QVERIFY2(server.start(m_sim.linkPath()), qPrintable(server.errorText()));
    usePort(server.entry());
    TransmitterSession session;
    session.setAutoRead(true);
    QTimer tick;
    tick.setInterval(1000);
    connect(&tick, &QTimer::timeout, &session, &TransmitterSession::tick);
    tick.start();
    QSignalSpy reports(&session, &TransmitterSession::displayChanged);
    QVERIFY(waitUntil([&] { return reports.size() > 0; }, 15000));

    QSignalSpy failed(&session, &TransmitterSession::linkFailed);
    QVERIFY(server.pause());
    QElapsedTimer since;
    since.start();
    // Found within 10 s of the stop (a bounded wait, not a measurement: the figure goes to the notes).
    QVERIFY(waitUntil([&] { return !failed.isEmpty(); }, 10000));
    qInfo("silent server found dead after %lld ms", since.elapsed());
    QCOMPARE(failed.first().at(0).value<LinkFailure>(), LinkFailure::Lost);
    QVERIFY(failed.first().at(1).toString().contains(server.entry()));
    QVERIFY(server.resume());
    session.shutDown();
}

void TestE2eSer2net::secondPanelIsToldBusy()
{
    Ser2netProcess server;
    QVERIFY2(server.start(m_sim.linkPath()), qPrintable(server.errorText()));
    usePort(server.entry());
    TransmitterSession first;
    QVERIFY(openLink(first));

    TransmitterSession second;
    QSignalSpy problem(&second, &TransmitterSession::linkProblem);
    QSignalSpy changed(&second, &TransmitterSession::linkChanged);
    second.startUp();
    QVERIFY(waitUntil([&] { return !problem.isEmpty(); }, 10000));
    const QString text = problem.first().first().toString();
    QVERIFY2(text.contains(server.entry()) && text.contains("Port already in use"), qPrintable(text));
    QCOMPARE(changed.size(), 0);
    QVERIFY(first.isLinkOpen());
    first.shutDown();
}

QTEST_GUILESS_MAIN(TestE2eSer2net)
#include "tst_e2e_ser2net.moc"
