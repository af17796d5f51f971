// A month of reports through the recorder on a simulated clock: 2,592,000 reports (30 days at one a
// second) of a transmitter in service, each parsed from its text as the panel does and recorded with
// the simulated time, while an event is logged now and then on a connection of its own as the
// window's thread does it. Tells how long it took, what a report costs the recording thread, how
// long an event's commit took meanwhile, the file's size and the memory at the end.
//
// Then, on the same file, the panel's own pace for a while: one report a second and an event every
// quarter of a second, timing each event's commit on this thread (the window's, in the panel) while
// the recorder's thread commits, folds, prunes and checkpoints beside it.
//
//   history_soak [--days N] [--live SECONDS] [--file FILE]
#include "bench/bench_home.h"
#include "bench/station_scenario.h"
#include "support/test_env.h"

#include "history/event_log.h"
#include "history/history_database.h"
#include "history/sample_recorder.h"
#include "history/sample_store.h"
#include "status/report.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// "VmHWM" or "VmRSS" of this process, in KiB.
qint64 memoryKib(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field)) + 1).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

// Nanoseconds this thread has waited for a core (the second field of its schedstat): on a shared
// machine, time the thread was ready to run while others held the cores.
qint64 runQueueWaitNs()
{
    QFile stat(QStringLiteral("/proc/thread-self/schedstat"));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = stat.readAll().trimmed().split(' ');
    return fields.size() >= 2 ? fields[1].toLongLong() : 0;
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[size_t(p * double(v.size() - 1))];
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption daysOption(QStringLiteral("days"),
        QStringLiteral("days at one report a second (30)"), QStringLiteral("N"), QStringLiteral("30"));
    const QCommandLineOption fileOption(
        QStringLiteral("file"), QStringLiteral("the history file"), QStringLiteral("FILE"));
    const QCommandLineOption liveOption(QStringLiteral("live"),
        QStringLiteral("seconds at the panel's pace (120)"), QStringLiteral("SECONDS"),
        QStringLiteral("120"));
    parser.addOptions({ daysOption, fileOption, liveOption });
    parser.addHelpOption();
    parser.process(app);

    TestStoreHome home(benchFolder());
    const QString file
        = parser.isSet(fileOption) ? parser.value(fileOption) : home.path() + QStringLiteral("/soak.sqlite");
    const qint64 reports = qint64(parser.value(daysOption).toInt()) * 86400;
    const qint64 start = QDateTime(QDate(2026, 1, 1), QTime(0, 0), Qt::UTC).toMSecsSinceEpoch();
    std::printf(
        "Soak: %lld reports into %s (%s)\n", reports, qPrintable(file), qPrintable(fileSystemOf(file)));
    std::fflush(stdout);

    StationScenario scenario(start);
    qint64 clock = start;
    const qint64 memoryBefore = memoryKib("VmRSS:");
    QElapsedTimer wall;
    wall.start();
    report::Display display = report::Display::initial();
    std::vector<double> appends;
    qint64 dropped = 0;
    double recordNs = 0;
    double maxRecordUs = 0;
    double parseNs = 0;
    qint64 waitedMs = 0;
    qint64 longestUs = 0;
    qint64 liveLongestUs = 0;
    double seconds = 0;
    qint64 peak = 0;
    std::vector<double> liveAppends;
    std::vector<double> liveOwnAppends; // less the time the thread waited for a core
    std::vector<double> liveRecord;
    {
        // As the station has them: the event log's connection leaves checkpoints to the recorder.
        HistoryDatabase events(file);
        events.setAutoCheckpoint(false);
        events.open();
        EventLog log(events);
        log.setClock([&clock] { return QDateTime::fromMSecsSinceEpoch(clock, Qt::UTC); });
        SampleRecorder recorder(file);
        recorder.setClock([&clock] { return clock; });
        // The simulated month passes on the steady clock too, which retention is timed on.
        recorder.setSteadyClock([&clock, start] { return clock - start; });
        for (qint64 i = 0; i < reports; ++i) {
            clock = start + i * 1000;
            const QString text = QString::fromLatin1(scenario.reportAt(clock));
            QElapsedTimer t;
            t.start();
            report::apply(text, display);
            const qint64 parsed = t.nsecsElapsed();
            recorder.record(display);
            const qint64 recorded = t.nsecsElapsed() - parsed;
            parseNs += double(parsed);
            recordNs += double(recorded);
            maxRecordUs = qMax(maxRecordUs, double(recorded) / 1000.0);
            if (i % 10000 == 5000) {
                QElapsedTimer a;
                a.start();
                log.append(QStringLiteral("alarm on"), QStringLiteral("SWR ALARM"));
                appends.push_back(double(a.nsecsElapsed()) / 1e6);
            }
            // The month goes in faster than real time: let the recorder's thread keep up, as it
            // does at one report a second, instead of letting a backlog pile up.
            if (recorder.waitingCount() > 20000) {
                QElapsedTimer w;
                w.start();
                while (recorder.waitingCount() > 2000)
                    QThread::msleep(1);
                waitedMs += w.elapsed();
            }
            if (i % 259200 == 0 && i > 0) {
                std::printf("  day %lld: %.0f s\n", i / 86400, double(wall.elapsed()) / 1000.0);
                std::fflush(stdout);
            }
        }
        recorder.sync(600000);
        dropped = recorder.droppedCount();
        longestUs = recorder.longestTransactionUs();
        seconds = double(wall.elapsed()) / 1000.0;
        peak = memoryKib("VmHWM:");

        // The panel's pace.
        const int liveSeconds = parser.value(liveOption).toInt();
        if (liveSeconds > 0) {
            recorder.resetLongestTransaction();
            std::printf("  %d s at one report a second...\n", liveSeconds);
            std::fflush(stdout);
            QTimer reportTimer;
            qint64 i = reports;
            QObject::connect(&reportTimer, &QTimer::timeout, [&] {
                clock = start + i++ * 1000;
                report::apply(QString::fromLatin1(scenario.reportAt(clock)), display);
                QElapsedTimer t;
                t.start();
                recorder.record(display);
                liveRecord.push_back(double(t.nsecsElapsed()) / 1000.0);
            });
            QTimer eventTimer;
            QObject::connect(&eventTimer, &QTimer::timeout, [&] {
                const qint64 waitedBefore = runQueueWaitNs();
                QElapsedTimer a;
                a.start();
                log.append(QStringLiteral("alarm off"), QStringLiteral("SWR ALARM"));
                const qint64 ns = a.nsecsElapsed();
                liveAppends.push_back(double(ns) / 1e6);
                liveOwnAppends.push_back(double(ns - (runQueueWaitNs() - waitedBefore)) / 1e6);
            });
            reportTimer.start(1000);
            eventTimer.start(250);
            QTimer::singleShot(liveSeconds * 1000, &app, &QCoreApplication::quit);
            QCoreApplication::exec();
            recorder.sync(60000);
            liveLongestUs = recorder.longestTransactionUs();
        }
    }
    const qint64 after = memoryKib("VmRSS:");

    HistoryDatabase db(file, HistoryDatabase::Mode::ReadOnly);
    db.open();
    const qint64 raw = history::sample_store::count(db.reader(), history::Resolution::Raw);
    const qint64 minutes = history::sample_store::count(db.reader(), history::Resolution::Minute);
    const qint64 hours = history::sample_store::count(db.reader(), history::Resolution::Hour);
    const qint64 size = QFileInfo(file).size() + QFileInfo(file + QStringLiteral("-wal")).size();

    std::printf("\n| Soak | Figure |\n| --- | --- |\n");
    std::printf("| Reports | %lld (%lld dropped) |\n", reports, dropped);
    std::printf("| Wall time | %.0f s (%.0f reports a second; %.0f s waiting for the recorder) |\n", seconds,
        double(reports) / seconds, double(waitedMs) / 1000.0);
    std::printf("| Parse a report (mean) | %.2f us |\n", parseNs / double(reports) / 1000.0);
    std::printf("| Record a report on the caller's thread (mean / max) | %.2f us / %.0f us |\n",
        recordNs / double(reports) / 1000.0, maxRecordUs);
    std::printf("| Event commit meanwhile (median / p99 / max of %zu) | %.2f / %.2f / %.2f ms |\n",
        appends.size(), percentile(appends, 0.5), percentile(appends, 0.99), percentile(appends, 1.0));
    std::printf("| Longest transaction of the recorder | %.1f ms |\n", double(longestUs) / 1000.0);
    std::printf("| Raw samples kept | %lld |\n", raw);
    std::printf("| Minute rows | %lld |\n", minutes);
    std::printf("| Hour rows | %lld |\n", hours);
    std::printf("| File size (with its log) | %.1f MiB |\n", double(size) / 1048576.0);
    std::printf("| Memory: at start / peak / at end (RSS) | %.1f / %.1f / %.1f MiB |\n",
        double(memoryBefore) / 1024.0, double(peak) / 1024.0, double(after) / 1024.0);
    if (!liveAppends.empty()) {
        std::printf("\n| At the panel's pace | Figure |\n| --- | --- |\n");
        std::printf("| Reports recorded | %zu |\n", liveRecord.size());
        std::printf("| Record a report (median / max) | %.1f / %.0f us |\n", percentile(liveRecord, 0.5),
            percentile(liveRecord, 1.0));
        std::printf("| Event commit (median / p99 / max of %zu) | %.2f / %.2f / %.2f ms |\n",
            liveAppends.size(), percentile(liveAppends, 0.5), percentile(liveAppends, 0.99),
            percentile(liveAppends, 1.0));
        std::printf("| Event commits over 2 ms | %zu |\n",
            size_t(
                std::count_if(liveAppends.begin(), liveAppends.end(), [](double ms) { return ms > 2.0; })));
        std::printf(
            "| Event commit less the wait for a core (median / p99 / max) | %.2f / %.2f / %.2f ms |\n",
            percentile(liveOwnAppends, 0.5), percentile(liveOwnAppends, 0.99),
            percentile(liveOwnAppends, 1.0));
        std::printf("| ... of which over 2 ms | %zu |\n",
            size_t(std::count_if(
                liveOwnAppends.begin(), liveOwnAppends.end(), [](double ms) { return ms > 2.0; })));
        std::printf("| Longest transaction of the recorder | %.2f ms |\n", double(liveLongestUs) / 1000.0);
    }
    return 0;
}
