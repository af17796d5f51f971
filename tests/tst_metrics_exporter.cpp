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
#include <unistd.h>

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

    // One status request and its report, and then (given an exporter) its file written; false
    // when no report came.
    static bool oneReport(TransmitterSession &session, MetricsExporter *exporter = nullptr)
    {
        QSignalSpy reports(&session, &TransmitterSession::displayChanged);
        if (session.readStatus() != TransmitterSession::Outcome::Started || !reports.wait(10000))
            return false;
        return !exporter || settled(*exporter);
    }

    // The writer's thread has written what it was given and the outcome is told.
    static bool settled(MetricsExporter &exporter)
    {
        return waitUntil([&] { return exporter.isIdle(); }, 10000);
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
        exporter.write();
        QVERIFY(settled(exporter));
        QVERIFY(exporter.isFailing());
        for (int i = 0; i < 3; ++i)
            QVERIFY(oneReport(session, &exporter));
        QCOMPARE(problems.size(), 1);
        QVERIFY2(problems[0][0].toString().contains(folder), qPrintable(problems[0][0].toString()));
        QCOMPARE(exporter.reportsTotal(), 3);
        QVERIFY(!QFileInfo::exists(folder)); // never made by the panel

        // There: the next report writes it, and says so.
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(oneReport(session, &exporter));
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
            QVERIFY(oneReport(session, &exporter));
        QCOMPARE(problems.size(), 2);
        QVERIFY(QFile::remove(folder));
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(oneReport(session, &exporter));
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
        QVERIFY(oneReport(session, &exporter));
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
            QVERIFY(oneReport(session, &exporter));
        QCOMPARE(problems.size(), 1);
        QVERIFY2(problems[0][0].toString().contains(QString::fromLocal8Bit(std::strerror(ENOSPC))),
            qPrintable(problems[0][0].toString()));
        QVERIFY(prom.open(QIODevice::ReadOnly));
        QCOMPARE(prom.readAll(), whole);
        prom.close();
        QCOMPARE(QDir(mountPoint).entryList(QDir::Files | QDir::Hidden),
            QStringList({ "filler", "valtrona.prom" }));

        QVERIFY(QFile::remove(filler.fileName()));
        QVERIFY(oneReport(session, &exporter));
        QCOMPARE(recoveries.size(), 1);
        QCOMPARE(readMetrics(exporter.filePath()).value("valtrona_reports_total"), 5.0);
    }

    // A metrics folder whose writes block, as on an NFS server that stopped answering: here an
    // ext4 image on a loop device, frozen (FIFREEZE), so that every write to it waits in the
    // kernel until it is thawed. The wire goes on being answered meanwhile, the snapshots that
    // come while the writer waits replace one another, and once thawed the file holds the latest.
    // A thaw that a child does after 60 s keeps a test run on the old code (which waited in the
    // wire's thread) from hanging: that the freeze is still on after the reports shows that they
    // came while it was.
    void blockedFolder()
    {
        if (::geteuid() != 0)
            QSKIP("mounting a loop device needs root");
        QTemporaryDir dir;
        const QString image = dir.filePath(QStringLiteral("disk.img"));
        const QString mountPoint = dir.filePath(QStringLiteral("metrics"));
        QVERIFY(QDir().mkpath(mountPoint));
        {
            QFile file(image);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(8 << 20));
        }
        const auto run = [](const QString &program, const QStringList &args) {
            QProcess p;
            p.start(program, args);
            return p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
        };
        if (!run(QStringLiteral("mkfs.ext4"), { "-q", "-F", image })
            || !run(QStringLiteral("mount"), { "-o", "loop,noatime", image, mountPoint }))
            QSKIP("no ext4 image can be mounted on a loop device here");
        auto unmount = qScopeGuard([&] {
            run(QStringLiteral("fsfreeze"), { "-u", mountPoint });
            run(QStringLiteral("umount"), { "-l", mountPoint });
        });

        TransmitterSession session;
        auto exporter = std::make_unique<MetricsExporter>(session, mountPoint);
        QSignalSpy problems(exporter.get(), &MetricsExporter::problem);
        QVERIFY(oneReport(session, exporter.get()));
        QCOMPARE(readMetrics(exporter->filePath()).value("valtrona_reports_total"), 1.0);

        QProcess safetyThaw;
        safetyThaw.start(
            QStringLiteral("sh"), { "-c", QStringLiteral("sleep 60; fsfreeze -u '%1'").arg(mountPoint) });
        QVERIFY(safetyThaw.waitForStarted());
        auto endThaw = qScopeGuard([&] {
            safetyThaw.kill();
            safetyThaw.waitForFinished(5000);
        });
        const quint64 replacedBefore = exporter->replaced();
        QVERIFY(run(QStringLiteral("fsfreeze"), { "-f", mountPoint }));
        for (int i = 0; i < 5; ++i)
            QVERIFY(oneReport(session)); // the first write waits in the folder, the rest queue
        // Still frozen: a second freeze is refused (EBUSY).
        QVERIFY(!run(QStringLiteral("fsfreeze"), { "-f", mountPoint }));
        QVERIFY(!exporter->isIdle());
        QCOMPARE(
            exporter->replaced() - replacedBefore, quint64(3)); // one writing, one waiting, three replaced

        QVERIFY(run(QStringLiteral("fsfreeze"), { "-u", mountPoint }));
        QVERIFY(settled(*exporter));
        QCOMPARE(readMetrics(exporter->filePath()).value("valtrona_reports_total"), 6.0);
        QVERIFY(problems.isEmpty());

        // The end: the last snapshot (the port closed) written, the thread joined.
        session.shutDown();
        exporter.reset();
        QCOMPARE(readMetrics(QDir(mountPoint).filePath("valtrona.prom")).value("valtrona_link_up", -1), 0.0);
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
