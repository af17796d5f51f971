// valtrona-panel --headless as a site PC runs it: the real program with no display, the simulator on
// the port. It ends cleanly on SIGTERM or SIGINT whatever it is doing (the event log, the history's
// samples and the store written, the metrics file whole), lives through the adapter pulled out and plugged in
// again (told once per episode, tried again every second without spinning), and takes part in the
// one-copy-per-store rule with the window.
#include "ui/single_instance.h"

#include "support/headless_process.h"
#include "support/sim_process.h"
#include "support/test_env.h"

#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {

// The samples of a metrics file, "name{labels}" -> value.
QMap<QString, double> readMetrics(const QString &path)
{
    QMap<QString, double> samples;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return samples;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const qsizetype blank = line.lastIndexOf(' ');
        samples.insert(QString::fromUtf8(line.left(blank)), line.mid(blank + 1).toDouble());
    }
    return samples;
}

// The event log as --events prints it.
QString eventsCsv()
{
    QProcess events;
    events.setProcessEnvironment(HeadlessProcess::environment());
    events.start(QStringLiteral(VALTRONA_PANEL_PATH), { QStringLiteral("--events") });
    events.waitForFinished(30000);
    return QString::fromUtf8(events.readAllStandardOutput());
}

bool serving(const QString &server)
{
    QLocalSocket socket;
    socket.connectToServer(server);
    return socket.waitForConnected(500);
}

} // namespace

class TestMonitorHeadless : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The children must not wait for a display, nor take one from the test's environment.
        QVERIFY(!HeadlessProcess::environment().contains(QStringLiteral("DISPLAY")));
    }

    void stopsCleanly_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<QString>("moment");
        for (int signal : { SIGTERM, SIGINT }) {
            const char *name = signal == SIGTERM ? "SIGTERM" : "SIGINT";
            for (const char *moment : { "reading", "flooded", "unplugged" })
                QTest::addRow("%s while %s", name, moment) << signal << QString::fromLatin1(moment);
        }
    }

    void stopsCleanly()
    {
        QFETCH(int, signal);
        QFETCH(QString, moment);

        TestStoreHome home;
        SimProcess sim;
        QVERIFY2(sim.start(), sim.stderrText().constData());
        // A store that holds only the port: a save of the whole record adds the rest.
        home.writeStore(HeadlessProcess::storeText(sim.linkPath()));
        QVERIFY(!home.storeBytes().contains("TrayAtStart="));
        QTemporaryDir metricsDir;
        const QString prom = metricsDir.filePath(QStringLiteral("valtrona.prom"));

        HeadlessProcess monitor;
        QVERIFY(monitor.start({ QStringLiteral("--metrics-dir"), metricsDir.path() }));
        // Three reports: the history keeps at most one sample a second, and the first two may fall
        // within one second (the start-up's request and the first tick's).
        QVERIFY2(waitUntil([&] { return readMetrics(prom).value("valtrona_reports_total") >= 3; }, 20000),
            qPrintable(monitor.text()));
        QCOMPARE(readMetrics(prom).value("valtrona_link_up"), 1.0);

        if (moment == QLatin1String("flooded")) {
            bool flooding = false;
            sim.command(QStringLiteral("flood 60 reports"), &flooding);
            QVERIFY(flooding);
            const double before = readMetrics(prom).value("valtrona_reports_total");
            QVERIFY(waitUntil(
                [&] { return readMetrics(prom).value("valtrona_reports_total") > before + 20; }, 20000));
        } else if (moment == QLatin1String("unplugged")) {
            QVERIFY(sim.unplug());
            QVERIFY2(monitor.waitForLines(QStringLiteral("does not exist")), qPrintable(monitor.text()));
        }

        QVERIFY(monitor.sendSignal(signal));
        QVERIFY2(monitor.waitForExit(30000), qPrintable(monitor.text()));
        QCOMPARE(monitor.exitStatus(), QProcess::NormalExit);
        QVERIFY2(monitor.exitCode() == 0, qPrintable(monitor.text()));

        // Every line is one line with its time; the stop is told, then the close.
        static const QRegularExpression timed(QStringLiteral(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ \S)"));
        for (const QString &line : monitor.lines())
            QVERIFY2(timed.match(line).hasMatch(), qPrintable(line));
        QCOMPARE(monitor.count(signal == SIGTERM ? "SIGTERM: stopping." : "SIGINT: stopping."), 1);
        QVERIFY2(
            monitor.lines().constLast().endsWith(QLatin1String(" panel closed")), qPrintable(monitor.text()));

        // The store saved whole on the way out, the port map kept.
        const QByteArray store = home.storeBytes();
        QVERIFY2(
            store.contains("TrayAtStart=") && store.contains("COM1=" + QFile::encodeName(sim.linkPath())),
            store.constData());

        // The metrics file whole, with the port closed; nothing half-written left beside it.
        const QMap<QString, double> last = readMetrics(prom);
        QCOMPARE(last.value("valtrona_link_up", -1), 0.0);
        QVERIFY(last.contains(QStringLiteral("valtrona_reports_total")));
        QCOMPARE(
            QDir(metricsDir.path()).entryList(QDir::Files | QDir::Hidden), QStringList { "valtrona.prom" });

        // The history: every report a sample, those still queued at the signal committed on the
        // way out (the recorder commits every 2 s; the signal came within a few of the first).
        QProcess exported;
        exported.setProcessEnvironment(HeadlessProcess::environment());
        exported.start(
            QStringLiteral(VALTRONA_PANEL_PATH), { QStringLiteral("--export-csv"), QStringLiteral("-") });
        QVERIFY(exported.waitForFinished(30000));
        QCOMPARE(exported.exitCode(), 0);
        const QStringList samples
            = QString::fromUtf8(exported.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
        QVERIFY2(samples.size() >= 3, qPrintable(samples.join('\n')));
        QVERIFY(samples[0].startsWith(QLatin1String("time,forward_W,reflected_W,swr,")));
        if (moment == QLatin1String("reading")) {
            // One report a second, each one applied on its own; only the start-up's report and the
            // first tick's may share a second, of which the history keeps the first.
            const int reports = qRound(last.value("valtrona_reports_total"));
            QVERIFY2(samples.size() - 1 == reports || samples.size() - 1 == reports - 1,
                qPrintable(QStringLiteral("%1 samples for %2 reports").arg(samples.size() - 1).arg(reports)));
        }

        // The event log: started first, closed last.
        const QStringList rows = eventsCsv().split(u'\n', Qt::SkipEmptyParts);
        QVERIFY2(rows.size() >= 3, qPrintable(rows.join('\n')));
        QVERIFY2(rows[1].contains(QLatin1String(",panel started,")), qPrintable(rows.join('\n')));
        QVERIFY2(rows.constLast().contains(QLatin1String(",panel closed,")), qPrintable(rows.join('\n')));
    }

    // A transmitter whose controller hung after one report and answers each request with a lone
    // "$": no report. The watch says "reports stopped" once the 5 s are up, and the metrics keep
    // the last report's time and count while the "$" answers go on coming.
    void dollarAloneGoesStale()
    {
        TestStoreHome home;
        SimProcess sim;
        QVERIFY2(sim.start(), sim.stderrText().constData());
        home.writeStore(HeadlessProcess::storeText(sim.linkPath()));
        QTemporaryDir metricsDir;
        const QString prom = metricsDir.filePath(QStringLiteral("valtrona.prom"));
        HeadlessProcess monitor;
        QVERIFY(monitor.start({ QStringLiteral("--metrics-dir"), metricsDir.path() }));
        QVERIFY2(waitUntil([&] { return readMetrics(prom).value("valtrona_reports_total") >= 1; }, 20000),
            qPrintable(monitor.text()));
        sim.require(QStringLiteral("report $"));
        const int replies = sim.logRecords(QStringLiteral("reply")).size();
        QTest::qWait(1500); // a report already on its way is in
        const QMap<QString, double> frozen = readMetrics(prom);

        QVERIFY2(
            monitor.waitForLines(QStringLiteral("reports stopped"), 1, 20000), qPrintable(monitor.text()));
        QVERIFY(sim.waitForRecords(QStringLiteral("reply"), replies + 6, 20000)); // "$" kept coming
        const QMap<QString, double> after = readMetrics(prom);
        QCOMPARE(after.value("valtrona_last_report_timestamp_seconds"),
            frozen.value("valtrona_last_report_timestamp_seconds"));
        QCOMPARE(after.value("valtrona_reports_total"), frozen.value("valtrona_reports_total"));
        QCOMPARE(monitor.count(QStringLiteral("reports resumed")), 0);

        sim.require(QStringLiteral("report live"));
        QVERIFY2(monitor.waitForLines(QStringLiteral("reports resumed")), qPrintable(monitor.text()));
        QVERIFY(monitor.sendSignal(SIGTERM));
        QVERIFY(monitor.waitForExit());
    }

    // Twice: the adapter pulled out is told as a lost link and once as a missing device naming the
    // device and the remedy, however many seconds it stays out, with the processor left idle
    // meanwhile; plugged in again, the link comes back by itself and reports flow. A metrics folder
    // that is not there at the start is told once, the same way, and used once it is there.
    void unplugAndReplug()
    {
        TestStoreHome home;
        SimProcess sim;
        QVERIFY2(sim.start(), sim.stderrText().constData());
        home.writeStore(HeadlessProcess::storeText(sim.linkPath()));
        // Its metrics folder not there yet: told once, and written once it is there.
        QTemporaryDir parent;
        const QString metrics = parent.filePath(QStringLiteral("metrics"));
        HeadlessProcess monitor;
        QVERIFY(monitor.start({ QStringLiteral("--metrics-dir"), metrics }));
        const QString unusable = QStringLiteral("The metrics folder %1 cannot be used").arg(metrics);
        QVERIFY2(monitor.waitForLines(unusable), qPrintable(monitor.text()));
        QVERIFY(sim.waitForRecords(QStringLiteral("frame"), 3, 20000));
        QTest::qWait(200); // the last report's lines, if any, are in
        QCOMPARE(monitor.count(unusable), 1);
        QVERIFY(QDir().mkpath(metrics));
        QVERIFY2(monitor.waitForLines(
                     QStringLiteral("The metrics are written to %1/valtrona.prom again.").arg(metrics)),
            qPrintable(monitor.text()));

        for (int episode = 1; episode <= 2; ++episode) {
            QVERIFY(sim.unplug());
            QVERIFY2(monitor.waitForLines(QStringLiteral("link lost"), episode), qPrintable(monitor.text()));
            QVERIFY2(
                monitor.waitForLines(QStringLiteral("does not exist"), episode), qPrintable(monitor.text()));
            const QString told = monitor.lines().constLast();
            QVERIFY2(told.contains(sim.linkPath()) && told.contains(QLatin1String("Plug the adapter in"))
                    && told.contains(home.storeFile()),
                qPrintable(told));

            // A monitor that spun would use a whole processor over these seconds. (Measured as
            // processor time, which a loaded machine can only make smaller.)
            const double cpuBefore = monitor.cpuSeconds();
            QElapsedTimer wall;
            wall.start();
            QTest::qWait(3500);
            const double cpu = monitor.cpuSeconds() - cpuBefore;
            QVERIFY2(cpuBefore >= 0 && cpu < 0.5 * double(wall.elapsed()) / 1000.0,
                qPrintable(QStringLiteral("%1 s of processor time in %2 ms").arg(cpu).arg(wall.elapsed())));
            QCOMPARE(monitor.count(QStringLiteral("does not exist")), episode);

            const int frames = sim.frames().size();
            QVERIFY(sim.replug());
            QVERIFY2(
                monitor.waitForLines(QStringLiteral("link restored"), episode), qPrintable(monitor.text()));
            QVERIFY(sim.waitForRecords(QStringLiteral("frame"), frames + 2, 20000));
        }
        QVERIFY(monitor.sendSignal(SIGTERM));
        QVERIFY(monitor.waitForExit());
        QCOMPARE(monitor.exitCode(), 0);
    }

    // A window started on the monitor's store says so and leaves without the port; so does a
    // second monitor. A monitor started while a window runs leaves too, without bringing it forward.
    void oneCopyPerStore()
    {
        TestStoreHome home;
        SimProcess sim;
        QVERIFY2(sim.start(), sim.stderrText().constData());
        home.writeStore(HeadlessProcess::storeText(sim.linkPath()));
        const QString server = SingleInstance::serverName(home.storeFile());

        HeadlessProcess monitor;
        QVERIFY(monitor.start());
        QVERIFY(sim.waitForRecords(QStringLiteral("frame"), 2, 20000));
        QVERIFY(serving(server));

        QProcess window;
        QProcessEnvironment env = HeadlessProcess::environment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        window.setProcessEnvironment(env);
        window.start(QStringLiteral(VALTRONA_PANEL_PATH), QStringList());
        QVERIFY(window.waitForStarted(10000));
        QByteArray said;
        QVERIFY(waitUntil(
            [&] {
                said += window.readAllStandardError();
                return said.contains("monitor first") || window.state() != QProcess::Running;
            },
            20000));
        QVERIFY2(said.contains("running as a headless monitor") && said.contains("does not start"),
            said.constData());
        // It waits for the operator's OK, with no port of its own.
        window.kill();
        window.waitForFinished(5000);

        HeadlessProcess second;
        QVERIFY(second.start());
        QVERIFY(second.waitForExit());
        QCOMPARE(second.exitCode(), 1);
        QVERIFY2(second.text().contains(QLatin1String("already running"))
                && second.text().contains("(a headless monitor)"),
            qPrintable(second.text()));

        // The first monitor kept the port all along.
        QVERIFY(monitor.isRunning());
        QCOMPARE(monitor.count(QStringLiteral("link lost")), 0);
        const int frames = sim.frames().size();
        QVERIFY(sim.waitForRecords(QStringLiteral("frame"), frames + 1, 20000));
        QVERIFY(monitor.sendSignal(SIGTERM));
        QVERIFY(monitor.waitForExit());

        // Now a window first (its port set aside, so that only the copy rule is at work).
        home.writeStore(HeadlessProcess::storeText(QStringLiteral("/nonexistent/ttyNONE")));
        window.start(QStringLiteral(VALTRONA_PANEL_PATH), QStringList());
        QVERIFY(window.waitForStarted(10000));
        QVERIFY(waitUntil([&] { return serving(server) || window.state() != QProcess::Running; }, 20000));
        QCOMPARE(window.state(), QProcess::Running);
        HeadlessProcess third;
        QVERIFY(third.start());
        QVERIFY(third.waitForExit());
        QCOMPARE(third.exitCode(), 1);
        QVERIFY2(third.text().contains(QLatin1String("(its window)")), qPrintable(third.text()));
        QCOMPARE(window.state(), QProcess::Running);
        window.kill();
        window.waitForFinished(5000);
        QLocalServer::removeServer(server); // the killed window's socket
    }
};

QTEST_GUILESS_MAIN(TestMonitorHeadless)
#include "tst_monitor_headless.moc"
