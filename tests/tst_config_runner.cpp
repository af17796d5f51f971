// The script runner over a real serial link on a pseudo-terminal: bytes in order, pauses on timers
// while the event loop keeps turning, one script at a time, and a stop at the first link failure
// (not at a line setting that a device server refused: the line still carries the bytes).
#include "config/runner.h"
#include "link/network_link.h"
#include "link/serial_link.h"
#include "support/clocks.h"
#include "support/pty_pair.h"
#include "support/test_env.h"
#include "support/wire_log.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

using scripts::Script;
using scripts::Step;

namespace {

// What the transmitter's end received, sampled at every turn of the event loop.
struct Wire {
    explicit Wire(PtyPair &pty)
        : m_pty(pty)
    {
    }
    void sample() { bytes += m_pty.takeWritten(); }
    QByteArray bytes;

private:
    PtyPair &m_pty;
};

constexpr int kPauseMs = 100;
const QByteArray kFirstBytes = QByteArray::fromHex("0000") + "AB"; // what goes out before the first pause
const QByteArray kAllBytes = kFirstBytes + "CDEF";

// A short script shaped like a download: writes, progress at its points, two pauses.
Script shortScript(int pauseMs = kPauseMs)
{
    return {
        Step::write(QByteArray("\x00\x00", 2)),
        Step::write("AB"),
        Step::progress("one", 1),
        Step::pause(pauseMs),
        Step::write("CD"),
        Step::progress("two", 2),
        Step::pause(pauseMs),
        Step::write("EF"),
        Step::progress("Ready", 0),
    };
}

// Everything the runner tells, in the order it tells it.
struct RunnerLog {
    explicit RunnerLog(ScriptRunner &runner)
    {
        QObject::connect(&runner, &ScriptRunner::progress, &runner,
            [this](const QString &t, int v) { events << QStringLiteral("progress %1 %2").arg(v).arg(t); });
        QObject::connect(&runner, &ScriptRunner::runningChanged, &runner,
            [this](bool r) { events << QStringLiteral("running %1").arg(r); });
        QObject::connect(&runner, &ScriptRunner::finished, &runner, [this] { events << "finished"; });
        QObject::connect(
            &runner, &ScriptRunner::failed, &runner, [this](const QString &t) { events << "failed " + t; });
    }
    QStringList events;
};

} // namespace

class TestRunner : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void runsInOrderWithoutBlocking();
    void pauseCountsFromTheWriteBeforeIt_data();
    void pauseCountsFromTheWriteBeforeIt();
    void refusesSecondScriptWhileRunning();
    void stopsAtLinkFailure_data();
    void stopsAtLinkFailure();
    void goesOnWhenAServerRefusesALineSetting();

private:
    TestStoreHome m_home;
    PtyPair *m_pty = nullptr;
    SerialLink *m_link = nullptr;
};

void TestRunner::init()
{
    m_pty = new PtyPair;
    QVERIFY(m_pty->isValid());
    const QString path = m_pty->path();
    m_link = new SerialLink;
    QCOMPARE(m_link->open(1, path), LinkFailure::None);
}

void TestRunner::cleanup()
{
    delete m_link;
    delete m_pty;
    m_link = nullptr;
    m_pty = nullptr;
}

void TestRunner::runsInOrderWithoutBlocking()
{
    ScriptRunner runner(*m_link);
    RunnerLog log(runner);
    QSignalSpy finished(&runner, &ScriptRunner::finished);
    Wire wire(*m_pty);
    // Made before the start, so that its ticks fall due ahead of the runner's first pause.
    const WireLog writes(*m_link);

    QTimer sampler;
    sampler.setInterval(0);
    connect(&sampler, &QTimer::timeout, this, [&] { wire.sample(); });

    QElapsedTimer total;
    total.start();
    QVERIFY(runner.start(shortScript()));
    QVERIFY(runner.isRunning());
    sampler.start();
    QVERIFY(finished.wait(5000));
    const qint64 elapsed = total.elapsed();
    QTRY_COMPARE(wire.bytes.size(), kAllBytes.size());
    sampler.stop();

    QCOMPARE(log.events,
        (QStringList {
            "running 1", "progress 1 one", "progress 2 two", "progress 0 Ready", "running 0", "finished" }));
    QVERIFY(!runner.isRunning());
    QCOMPARE(wire.bytes, kAllBytes);

    // The writes before each pause go out in one go; each pause lets the event loop turn (a blocking
    // wait would let no tick in), and the bytes after it come no sooner than the pause's length after
    // the write before it. The whole script takes at least both pauses.
    const QList<WireLog::Span> spans = writes.find({ kFirstBytes, "CD", "EF" });
    QCOMPARE(spans.size(), 3);
    const QList<WireLog::Write> &w = writes.writes();
    QCOMPARE(w[spans[0].first].ticks, w[spans[0].end - 1].ticks);
    for (int i = 1; i < spans.size(); ++i) {
        const WireLog::Write &before = w[spans[i - 1].end - 1];
        const WireLog::Write &after = w[spans[i].first];
        QVERIFY2(after.ticks > before.ticks,
            qPrintable(QStringLiteral("the event loop stood still in pause %1").arg(i)));
        QVERIFY2(after.atMs - before.atMs >= kPauseMs,
            qPrintable(QStringLiteral("%1 came %2 ms after the write before it")
                           .arg(QString::fromLatin1(after.bytes))
                           .arg(after.atMs - before.atMs)));
    }
    QVERIFY(elapsed >= 2 * kPauseMs - 10);
}

void TestRunner::pauseCountsFromTheWriteBeforeIt_data()
{
    QTest::addColumn<int>("slowProgressMs"); // how long the progress handler holds the event loop
    QTest::addColumn<QList<int>>("pauses"); // the pauses between the two writes
    QTest::addColumn<int>("expectedMs"); // when "B" is due after "A"

    // The time the window takes to show the progress is part of the pause, not added to it.
    QTest::newRow("slow progress report inside the pause") << 300 << QList<int> { 200 } << 300;
    QTest::newRow("quick progress report") << 0 << QList<int> { 200 } << 200;
    // Nothing written between two pauses (a logo piece past the end of a short line): they add up.
    QTest::newRow("two pauses in a row") << 0 << QList<int> { 150, 150 } << 300;
}

void TestRunner::pauseCountsFromTheWriteBeforeIt()
{
    QFETCH(int, slowProgressMs);
    QFETCH(QList<int>, pauses);
    QFETCH(int, expectedMs);

    Script script = { Step::write("A"), Step::progress("slow", 1) };
    for (int ms : pauses)
        script.append(Step::pause(ms));
    script.append(Step::write("B"));

    ScriptRunner runner(*m_link);
    QSignalSpy finished(&runner, &ScriptRunner::finished);
    Wire wire(*m_pty);
    const WireLog writes(*m_link);
    connect(&runner, &ScriptRunner::progress, this, [&] { QThread::msleep(ulong(slowProgressMs)); });
    QTimer sampler;
    sampler.setInterval(0);
    connect(&sampler, &QTimer::timeout, this, [&] { wire.sample(); });
    sampler.start();

    const double waitedBefore = cpuWaitMs();
    QVERIFY(runner.start(script));
    QVERIFY(finished.wait(5000));
    const double waited = waitedBefore < 0 ? 0 : cpuWaitMs() - waitedBefore;
    QTRY_COMPARE(wire.bytes, QByteArray("AB"));
    QCOMPARE(writes.writes().size(), 2);
    const double gap = writes.writes().at(1).atMs - writes.writes().at(0).atMs;
    // Never early. Late by less than the shortest of the mistakes it guards against (the slow report
    // added to the pause, or a pause lost), which are 150 ms or more off, once the time this thread
    // waited for a CPU that other programs held is taken off.
    QVERIFY2(gap >= expectedMs && gap - waited < expectedMs + 140,
        qPrintable(QStringLiteral("B came %1 ms after A (%2 ms of it waiting for a CPU), due after %3 ms")
                       .arg(gap)
                       .arg(waited)
                       .arg(expectedMs)));
}

void TestRunner::refusesSecondScriptWhileRunning()
{
    ScriptRunner runner(*m_link);
    QSignalSpy finished(&runner, &ScriptRunner::finished);
    QSignalSpy progress(&runner, &ScriptRunner::progress);

    QVERIFY(runner.start(shortScript()));
    const Script intruder = { Step::write("ZZ"), Step::progress("intruder", 9) };
    QVERIFY(!runner.start(intruder));
    QVERIFY(runner.isRunning());
    QVERIFY(finished.wait(5000));
    QCOMPARE(finished.count(), 1);
    QCOMPARE(m_pty->waitForWritten(kAllBytes.size()), kAllBytes);
    for (const QList<QVariant> &args : progress)
        QVERIFY(args.at(0).toString() != "intruder");

    // Once the first has ended, the next script is taken.
    QVERIFY(runner.start(intruder));
    QCOMPARE(m_pty->waitForWritten(2), QByteArray("ZZ"));
    QCOMPARE(finished.count(), 2);
}

void TestRunner::stopsAtLinkFailure_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("pauseMs");
    QTest::addColumn<QByteArray>("sent"); // what reached the wire before the stop

    QTest::newRow("link closed before the start") << "closed before" << kPauseMs << QByteArray();
    QTest::newRow("link closed during a pause") << "closed in pause" << kPauseMs << kFirstBytes;
    // A long pause: the failure has to end the script while it waits, not at its next write.
    QTest::newRow("adapter gone during a pause") << "unplugged in pause" << 20000 << kFirstBytes;
}

void TestRunner::stopsAtLinkFailure()
{
    QFETCH(QString, how);
    QFETCH(int, pauseMs);
    QFETCH(QByteArray, sent);

    ScriptRunner runner(*m_link);
    RunnerLog log(runner);
    QSignalSpy failed(&runner, &ScriptRunner::failed);
    QString linkText;
    connect(m_link, &SerialLink::failed, this, [&](LinkFailure, const QString &t) { linkText = t; });
    QByteArray written;

    if (how == "closed before")
        m_link->close();
    connect(&runner, &ScriptRunner::progress, this, [&](const QString &text) {
        if (text != "one")
            return;
        if (how == "closed in pause") {
            m_link->close();
        } else if (how == "unplugged in pause") {
            // Gone while the runner waits; the link notices on the event loop.
            QTimer::singleShot(10, this, [&] {
                written += m_pty->takeWritten();
                m_pty->unplug();
            });
        }
    });

    QVERIFY(runner.start(shortScript(pauseMs)));
    QVERIFY(failed.count() == 1 || failed.wait(5000));
    QCOMPARE(failed.count(), 1);
    const QString text = failed.at(0).at(0).toString();
    QVERIFY2(!text.isEmpty(), "the failure must say what happened");
    QCOMPARE(text, linkText);
    QVERIFY(!runner.isRunning());

    // The progress bar goes back to 0 with the failure in the status bar, then the runner ends.
    const QStringList tail = log.events.mid(log.events.size() - 3);
    QCOMPARE(tail, (QStringList { "progress 0 " + text, "running 0", "failed " + text }));
    QVERIFY(!log.events.contains("progress 2 two"));

    // Nothing more is written once it has stopped, not even after the pauses would have ended.
    if (pauseMs == kPauseMs)
        QTest::qWait(2 * kPauseMs + 50);
    if (how != "unplugged in pause")
        written += m_pty->takeWritten();
    QCOMPARE(written, sent);
    QVERIFY(!log.events.contains("finished"));
}

// An RFC 2217 server (a socket of the test's own on 127.0.0.1) that answers the baud rate with 4800
// in the first pause: the operator is told, and the script goes on to its end over the open link.
void TestRunner::goesOnWhenAServerRefusesALineSetting()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    NetworkLink link;
    QSignalSpy opened(&link, &NetworkLink::openChanged);
    QSignalSpy told(&link, &NetworkLink::failed);
    QCOMPARE(link.open(1, QStringLiteral("rfc2217://127.0.0.1:%1").arg(server.serverPort())),
        LinkFailure::Connecting);
    QVERIFY(opened.wait(5000));
    QVERIFY(server.hasPendingConnections() || server.waitForNewConnection(2000));
    QTcpSocket *peer = server.nextPendingConnection();
    QByteArray atServer;
    connect(peer, &QTcpSocket::readyRead, this, [&] { atServer += peer->readAll(); });

    ScriptRunner runner(link);
    RunnerLog log(runner);
    QSignalSpy finished(&runner, &ScriptRunner::finished);
    QSignalSpy runnerFailed(&runner, &ScriptRunner::failed);
    connect(&runner, &ScriptRunner::progress, this, [&](const QString &text) {
        if (text == "one")
            peer->write(QByteArray::fromHex("fffa2c65000012c0fff0")); // SET-BAUDRATE answered: 4800
    });
    QVERIFY(runner.start(shortScript()));
    QVERIFY(QTest::qWaitFor([&] { return !runner.isRunning(); }, 5000));
    QCOMPARE(told.size(), 1);
    QCOMPARE(told.first().at(0).value<LinkFailure>(), LinkFailure::SettingRejected);
    QVERIFY(link.isOpen());
    QCOMPARE(runnerFailed.size(), 0);
    QCOMPARE(log.events.last(), QStringLiteral("finished"));
    QVERIFY(QTest::qWaitFor([&] { return atServer.endsWith(kAllBytes.right(2)); }, 5000));
    QVERIFY2(atServer.contains(kFirstBytes) && atServer.endsWith("CDEF"), atServer.toHex(' ').constData());
}

QTEST_GUILESS_MAIN(TestRunner)
#include "tst_config_runner.moc"
