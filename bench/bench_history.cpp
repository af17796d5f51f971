// The event log's costs on a real disk: one event appended and committed (as the window thread
// does it at each transition), the watch's work on a report that changes nothing (what every
// report costs), the whole log written as CSV (`--events`), and opening the file for writing with
// its quick check, as the panel does at start.
#include "bench/bench_home.h"
#include "support/test_env.h"

#include "history/event_log.h"
#include "history/history_database.h"
#include "watch/transmitter_watch.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSqlQuery>
#include <algorithm>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const double rank = p * double(v.size() - 1);
    const size_t lo = size_t(rank);
    const size_t hi = std::min(lo + 1, v.size() - 1);
    return v[lo] + (v[hi] - v[lo]) * (rank - double(lo));
}

double p90(const std::vector<double> &v)
{
    return percentile(v, 0.90);
}
double p99(const std::vector<double> &v)
{
    return percentile(v, 0.99);
}
double maxOf(const std::vector<double> &v)
{
    return v.empty() ? 0 : *std::max_element(v.begin(), v.end());
}

QString g_folder; // the benchmark's own folder
std::unique_ptr<HistoryDatabase> g_appendDb;
std::unique_ptr<EventLog> g_appendLog;

QString fileFor(const QString &name)
{
    return g_folder + QLatin1Char('/') + name + QLatin1String(".sqlite");
}

// A log of `count` events as a panel collects them over the years, written in one transaction.
bool fill(const QString &path, int count)
{
    HistoryDatabase db(path);
    if (!db.open())
        return false;
    return db.write([count](QSqlDatabase &sql) -> QSqlError {
        QSqlQuery insert(sql);
        insert.prepare(QStringLiteral("INSERT INTO events (time, event, detail) VALUES (?, ?, ?)"));
        const QDateTime start(QDate(2023, 1, 1), QTime(0, 0), Qt::UTC);
        const char *kinds[] = { "alarm on", "alarm off", "link lost", "link restored", "reports stopped" };
        for (int i = 0; i < count; ++i) {
            insert.bindValue(0, EventLog::timeText(start.addSecs(qint64(i) * 3600)));
            insert.bindValue(1, QString::fromLatin1(kinds[i % 5]));
            insert.bindValue(
                2, i % 5 < 2 ? QStringLiteral("OVER-CURRENT ALARM") : QStringLiteral("/dev/ttyUSB0"));
            if (!insert.exec())
                return insert.lastError();
        }
        return {};
    });
}

// One event, committed, into a log that already holds a year of them.
void BM_EventAppend(benchmark::State &state)
{
    if (!g_appendDb) {
        const QString path = fileFor(QStringLiteral("append"));
        if (!fill(path, 10000)) {
            state.SkipWithError("the log could not be filled");
            return;
        }
        g_appendDb = std::make_unique<HistoryDatabase>(path);
        g_appendLog = std::make_unique<EventLog>(*g_appendDb);
        if (!g_appendDb->open()) { // the start's check is not part of an append
            state.SkipWithError(qPrintable(g_appendDb->lastError()));
            return;
        }
    }
    for (auto _ : state) {
        if (!g_appendLog->append(QStringLiteral("alarm on"), QStringLiteral("SWR ALARM"))) {
            state.SkipWithError(qPrintable(g_appendDb->lastError()));
            break;
        }
    }
}

// A report that changes nothing: the five indicators compared, the uptime read.
void BM_WatchReport(benchmark::State &state)
{
    TransmitterWatch watch;
    const watch::Alarms alarms { false, true, false, false, false };
    watch.report(alarms, QStringLiteral("0012D:03H:45M"));
    const QString uptime = QStringLiteral("0012D:03H:46M");
    for (auto _ : state)
        watch.report(alarms, uptime);
}

// `valtrona-panel --events`: open the file read-only, write every event as CSV, close.
void BM_EventsCsv(benchmark::State &state)
{
    const int count = int(state.range(0));
    const QString path = fileFor(QStringLiteral("csv-%1").arg(count));
    if (!QFileInfo::exists(path) && !fill(path, count)) {
        state.SkipWithError("the log could not be filled");
        return;
    }
    QFile sink(QStringLiteral("/dev/null"));
    if (!sink.open(QIODevice::WriteOnly)) {
        state.SkipWithError("no /dev/null");
        return;
    }
    for (auto _ : state) {
        HistoryDatabase db(path, HistoryDatabase::Mode::ReadOnly);
        EventLog log(db);
        if (!log.writeCsv(sink)) {
            state.SkipWithError("the CSV could not be written");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * count);
    state.counters["file_MiB"] = double(QFileInfo(path).size()) / (1024.0 * 1024.0);
}

// The panel's start: open for writing, write-ahead log, quick check, schema up to date.
void BM_OpenForWriting(benchmark::State &state)
{
    const int count = int(state.range(0));
    const QString path = fileFor(QStringLiteral("open-%1").arg(count));
    if (!QFileInfo::exists(path) && !fill(path, count)) {
        state.SkipWithError("the log could not be filled");
        return;
    }
    for (auto _ : state) {
        HistoryDatabase db(path);
        if (!db.open()) {
            state.SkipWithError(qPrintable(db.lastError()));
            break;
        }
    }
    state.counters["file_MiB"] = double(QFileInfo(path).size()) / (1024.0 * 1024.0);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    TestStoreHome home(benchFolder());
    if (!home.isValid()) {
        std::fprintf(stderr, "bench_history: no temporary folder could be made\n");
        return 1;
    }
    g_folder = home.path() + QLatin1String("/history");
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::AddCustomContext("history_dir", g_folder.toStdString());
    benchmark::AddCustomContext("history_fs", fileSystemOf(home.path()).toStdString());

    bool ok = false;
    const int reps = qEnvironmentVariableIntValue("PANEL_BENCH_REPS", &ok);
    const int repetitions = ok && reps > 1 ? reps : 500;
    // Each append on its own, for the spread a window thread would see; and many, for the CPU.
    benchmark::RegisterBenchmark("BM_EventAppend/single", BM_EventAppend)
        ->Iterations(1)
        ->Repetitions(repetitions)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond)
        ->ReportAggregatesOnly(true)
        ->ComputeStatistics("p90", p90)
        ->ComputeStatistics("p99", p99)
        ->ComputeStatistics("max", maxOf);
    benchmark::RegisterBenchmark("BM_EventAppend", BM_EventAppend)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("BM_WatchReport", BM_WatchReport);
    benchmark::RegisterBenchmark("BM_EventsCsv", BM_EventsCsv)
        ->Arg(1000)
        ->Arg(10000)
        ->Arg(100000)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_OpenForWriting", BM_OpenForWriting)
        ->Arg(10000)
        ->Arg(1000000)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_appendLog.reset();
    g_appendDb.reset();
    return 0;
}
