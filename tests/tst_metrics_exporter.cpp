// The metrics exporter beside a real session on the simulator: a folder that is missing, then
// there, then a file where it was, then a full disk. Each fault is told once however many reports
// meet it, the reports go on meanwhile, the next report after the fault writes the file again and
// says so, and valtrona.prom is whole at every moment. Then the real window, started with
// --metrics-dir, keeps the file as the monitor does.
#include "metrics/metrics_exporter.h"
#include "session/session.h"
#include "settings/record.h"

#include "support/headless_process.h"
#include "support/sim_process.h"
#include "support/test_env.h"

#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <sys/mount.h>

namespace {

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

} // namespace

class TestMetricsExporter : public QObject
{
    Q_OBJECT

    TestStoreHome m_home;
    QTemporaryDir m_dir;
    SimProcess m_sim;

    // One status request and its report; false when no report came.
    static bool oneReport(TransmitterSession &session)
    {
        QSignalSpy reports(&session, &TransmitterSession::displayChanged);
        return session.readStatus() == TransmitterSession::Outcome::Started && reports.wait(10000);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY2(m_sim.start(), m_sim.stderrText().constData());
        m_home.writeStore(HeadlessProcess::storeText(m_sim.linkPath()));
        settingsRecord().COMSelected = 1;
    }

    void storeNamesTheFolder()
    {
        QCOMPARE(MetricsExporter::configuredDirectory(QString()), QString());
        m_home.writeStore(
            HeadlessProcess::storeText(m_sim.linkPath(), "[Metrics]\nDirectory= /srv/metrics \n"));
        QCOMPARE(MetricsExporter::configuredDirectory(QString()), QStringLiteral("/srv/metrics"));
        QCOMPARE(MetricsExporter::configuredDirectory(QStringLiteral("/run/m")), QStringLiteral("/run/m"));
        m_home.writeStore(HeadlessProcess::storeText(m_sim.linkPath(), "[Metrics]\nDirectory=\n"));
        QCOMPARE(MetricsExporter::configuredDirectory(QString()), QString());
        m_home.writeStore(HeadlessProcess::storeText(m_sim.linkPath()));
    }

    void faultsToldOnceAndOutlived()
    {
        const QString folder = m_dir.filePath(QStringLiteral("metrics"));
        TransmitterSession session;
        MetricsExporter exporter(session, folder);
        QSignalSpy problems(&exporter, &MetricsExporter::problem);
        QSignalSpy recoveries(&exporter, &MetricsExporter::recovered);
        const QString prom = exporter.filePath();

        // Missing: told once, at the first write, and not again at the reports that follow.
        QVERIFY(!exporter.write());
        for (int i = 0; i < 3; ++i)
            QVERIFY(oneReport(session));
        QCOMPARE(problems.size(), 1);
        QVERIFY2(problems[0][0].toString().contains(folder), qPrintable(problems[0][0].toString()));
        QCOMPARE(exporter.reportsTotal(), 3);
        QVERIFY(!QFileInfo::exists(folder)); // never made by the panel

        // There: the next report writes it, and says so.
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(oneReport(session));
        QCOMPARE(recoveries.size(), 1);
        QCOMPARE(readMetrics(prom).value("valtrona_reports_total"), 4.0);
        QCOMPARE(readMetrics(prom).value("valtrona_link_up"), 1.0);

        // A file where the folder was: a new episode, told once more.
        QVERIFY(QDir(folder).removeRecursively());
        {
            QFile blocker(folder);
            QVERIFY(blocker.open(QIODevice::WriteOnly));
        }
        for (int i = 0; i < 2; ++i)
            QVERIFY(oneReport(session));
        QCOMPARE(problems.size(), 2);
        QVERIFY(QFile::remove(folder));
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(oneReport(session));
        QCOMPARE(recoveries.size(), 2);
        QCOMPARE(readMetrics(prom).value("valtrona_reports_total"), 7.0);
    }

    // A disk that fills: the file on it stays the last whole one, then the next report after room
    // is made writes the new one.
    void fullDisk()
    {
        const QString mountPoint = m_dir.filePath(QStringLiteral("small-disk"));
        QVERIFY(QDir().mkpath(mountPoint));
        const QByteArray native = QFile::encodeName(mountPoint);
        if (::mount("tmpfs", native.constData(), "tmpfs", 0, "size=16k") != 0)
            QSKIP(qPrintable(QStringLiteral("no tmpfs can be mounted here (%1)").arg(std::strerror(errno))));
        auto unmount = qScopeGuard([&] { ::umount2(native.constData(), MNT_DETACH); });

        TransmitterSession session;
        MetricsExporter exporter(session, mountPoint);
        QSignalSpy problems(&exporter, &MetricsExporter::problem);
        QSignalSpy recoveries(&exporter, &MetricsExporter::recovered);
        QVERIFY(oneReport(session));
        QVERIFY(problems.isEmpty());
        QFile prom(exporter.filePath());
        QVERIFY(prom.open(QIODevice::ReadOnly));
        const QByteArray whole = prom.readAll();
        prom.close();
        QVERIFY(whole.contains("valtrona_reports_total 1\n"));

        // Fill every block but what the file already holds.
        QFile filler(QDir(mountPoint).filePath(QStringLiteral("filler")));
        QVERIFY(filler.open(QIODevice::WriteOnly));
        const QByteArray block(1024, 'x');
        while (filler.write(block) == block.size() && filler.flush()) { }
        filler.close();

        for (int i = 0; i < 3; ++i)
            QVERIFY(oneReport(session));
        QCOMPARE(problems.size(), 1);
        QVERIFY2(problems[0][0].toString().contains(QString::fromLocal8Bit(std::strerror(ENOSPC))),
            qPrintable(problems[0][0].toString()));
        QVERIFY(prom.open(QIODevice::ReadOnly));
        QCOMPARE(prom.readAll(), whole);
        prom.close();
        QCOMPARE(QDir(mountPoint).entryList(QDir::Files | QDir::Hidden),
            QStringList({ "filler", "valtrona.prom" }));

        QVERIFY(QFile::remove(filler.fileName()));
        QVERIFY(oneReport(session));
        QCOMPARE(recoveries.size(), 1);
        QCOMPARE(readMetrics(exporter.filePath()).value("valtrona_reports_total"), 5.0);
    }

    // The window, as the operator starts it with --metrics-dir, writes the same file.
    void windowWritesMetrics()
    {
        QTemporaryDir folder;
        QTemporaryDir temporary; // where the killed window leaves its one-copy socket
        QProcess window;
        QProcessEnvironment env = HeadlessProcess::environment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("TMPDIR"), temporary.path());
        window.setProcessEnvironment(env);
        window.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_home.writeStore("[Ports]\nCOM1=" + QFile::encodeName(m_sim.linkPath())
            + "\n\n[ValtronaAmp%2B]\nCOMSelected=1\nAutoRead=True\nTrayAtStart=False\n");
        window.start(QStringLiteral(VALTRONA_PANEL_PATH), { QStringLiteral("--metrics-dir"), folder.path() });
        QVERIFY(window.waitForStarted(10000));
        auto stop = qScopeGuard([&] {
            window.kill();
            window.waitForFinished(5000);
        });
        const QString prom = folder.filePath(QStringLiteral("valtrona.prom"));
        QVERIFY(waitUntil([&] { return readMetrics(prom).value("valtrona_reports_total") >= 2; }, 20000));
        QCOMPARE(readMetrics(prom).value("valtrona_link_up"), 1.0);
    }
};

QTEST_GUILESS_MAIN(TestMetricsExporter)
#include "tst_metrics_exporter.moc"
