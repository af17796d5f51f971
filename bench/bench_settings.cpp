// LoadSettings and SaveSettings, the store's two whole-record operations, on a real disk. Every save
// is the durable one the panel does on each operator action (temporary file, fsync, rename, fsync
// of the folder), so the figures are wall-clock times, repeated to give a median and a p99.
#include "bench/bench_home.h"
#include "support/test_env.h"

#include "settings/durable_file.h"
#include "settings/parsed_file.h"
#include "settings/record.h"
#include "settings/store.h"
#include "settings/table.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <algorithm>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
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
double minOf(const std::vector<double> &v)
{
    return v.empty() ? 0 : *std::min_element(v.begin(), v.end());
}

// A store as the panel leaves it: the port map written out and every key of the record.
QByteArray seededStore()
{
    QByteArray bytes("[Ports]\n");
    for (int i = 1; i <= 8; ++i)
        bytes += "COM" + QByteArray::number(i) + "=/dev/ttyS" + QByteArray::number(i - 1) + "\n";
    return bytes;
}

// One operator action: a setting changes, then the whole store is written.
void BM_SaveSettings(benchmark::State &state)
{
    SettingsRecord &record = settingsRecord();
    const ParsedFile::Statistics before = SettingsStore::instance().fileStatistics();
    for (auto _ : state) {
        record.AutoRead = !record.AutoRead;
        if (!SaveSettings()) {
            state.SkipWithError(qPrintable(SettingsStore::instance().lastError()));
            break;
        }
    }
    const ParsedFile::Statistics after = SettingsStore::instance().fileStatistics();
    state.counters["reads"]
        = benchmark::Counter(double(after.reads - before.reads), benchmark::Counter::kAvgIterations);
    state.counters["parses"]
        = benchmark::Counter(double(after.parses - before.parses), benchmark::Counter::kAvgIterations);
}

// One look at the store, as each port check and each entry of the setup list makes, for the three
// ways it can go: the file's identity vouches for the parsed copy (a stat), the file changed too
// recently for that (read and compared), and what every look cost before the parsed copy was kept
// (read and parsed).
enum class Look { Settled, Recent, ReadAndParse };
void BM_StoreLook(benchmark::State &state, QString path, Look look)
{
    ParsedFile file;
    if (file.current(path).result != durable_file::ReadResult::Read) {
        state.SkipWithError("the copy of the store could not be read");
        return;
    }
    const ParsedFile::Version first = file.current(path);
    for (auto _ : state) {
        if (look == Look::ReadAndParse) {
            QByteArray bytes;
            QString error;
            durable_file::readAll(path, &bytes, &error);
            benchmark::DoNotOptimize(IniDocument::parse(bytes));
            continue;
        }
        if (look == Look::Recent)
            file.replaced(path, first.bytes, first.doc);
        benchmark::DoNotOptimize(
            file.current(path).doc.value(QStringLiteral("Ports"), QStringLiteral("COM1")));
    }
    state.counters["reads"]
        = benchmark::Counter(double(file.statistics().reads), benchmark::Counter::kAvgIterations);
    state.counters["parses"]
        = benchmark::Counter(double(file.statistics().parses), benchmark::Counter::kAvgIterations);
}

// The same bytes through the store's durable writer alone, beside the store: the save without
// reading, parsing and formatting the record.
void BM_DurableReplace(benchmark::State &state, QString folder)
{
    const QString store = SettingsStore::instance().filePath();
    QFile file(store);
    const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    const QString path = folder + QLatin1String("/replace-only.ini");
    QString error;
    for (auto _ : state) {
        if (!durable_file::replace(path, bytes, &error)) {
            state.SkipWithError(qPrintable(error));
            break;
        }
    }
}

// What the disk itself allows: the least a crash-safe replacement needs (write a temporary file,
// fsync it, rename it over the old one, fsync the folder), in plain system calls. With
// `folderFlush` false the rename is left to the file system's next commit: still never a torn
// file, but the last save may be lost to a power cut.
void BM_DiskFloor(benchmark::State &state, QString folder, bool folderFlush)
{
    QFile file(SettingsStore::instance().filePath());
    const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    const QByteArray dir = QFile::encodeName(folder);
    const QByteArray temp = dir + "/.floor.tmp";
    const QByteArray target = dir + "/floor.ini";
    for (auto _ : state) {
        const int fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        bool ok = fd >= 0 && ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size()
            && ::fsync(fd) == 0;
        ok = fd >= 0 && ::close(fd) == 0 && ok;
        ok = ok && ::rename(temp.constData(), target.constData()) == 0;
        const int dfd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ok = ok && dfd >= 0 && (!folderFlush || ::fsync(dfd) == 0);
        if (dfd >= 0)
            ::close(dfd);
        if (!ok) {
            state.SkipWithError("the plain durable write failed");
            break;
        }
    }
}

void BM_LoadSettings(benchmark::State &state)
{
    for (auto _ : state) {
        if (!LoadSettings()) {
            state.SkipWithError("the store could not be loaded");
            break;
        }
        benchmark::DoNotOptimize(settingsRecord());
    }
}

void withStatistics(benchmark::internal::Benchmark *b, int repetitions)
{
    b->Iterations(1)
        ->Repetitions(repetitions)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond)
        ->ReportAggregatesOnly(true)
        ->ComputeStatistics("p90", p90)
        ->ComputeStatistics("p99", p99)
        ->ComputeStatistics("min", minOf)
        ->ComputeStatistics("max", maxOf);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    TestStoreHome home(benchFolder());
    if (!home.isValid()) {
        std::fprintf(stderr, "bench_settings: no temporary folder could be made\n");
        return 1;
    }
    // The store must be the benchmark's own, never the operator's.
    if (!SettingsStore::instance().filePath().startsWith(home.path())) {
        std::fprintf(stderr, "bench_settings: the store is not in the benchmark's folder, stopping\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;

    if (!home.writeStore(seededStore()))
        return 1;
    settingsRecord() = settings_table::defaults();
    if (!SaveSettings()) { // the first save lays out every key
        std::fprintf(stderr, "bench_settings: %s\n", qPrintable(SettingsStore::instance().lastError()));
        return 1;
    }

    const QString file = SettingsStore::instance().filePath();
    benchmark::AddCustomContext("store_dir", home.path().toStdString());
    benchmark::AddCustomContext("store_fs", fileSystemOf(home.path()).toStdString());
    benchmark::AddCustomContext("store_bytes", std::to_string(QFileInfo(file).size()));
    benchmark::AddCustomContext("store_keys", std::to_string(settings_table::keys().size()));

    bool ok = false;
    const int reps = qEnvironmentVariableIntValue("PANEL_BENCH_REPS", &ok);
    const int repetitions = ok && reps > 1 ? reps : 500;
    withStatistics(benchmark::RegisterBenchmark("BM_SaveSettings", BM_SaveSettings), repetitions);
    withStatistics(benchmark::RegisterBenchmark("BM_LoadSettings", BM_LoadSettings), repetitions);
    const QString folder = QFileInfo(file).absolutePath();

    // A copy of the store whose last change lies far enough back for its identity to vouch for it.
    const QString aged = folder + QLatin1String("/aged-copy.ini");
    QFile::remove(aged);
    if (!QFile::copy(file, aged))
        return 1;
    QThread::msleep(ParsedFile::kSettleNs / 1000000 + 200);
    for (const auto &[name, look] : { std::pair { "BM_StoreLook/settled", Look::Settled },
             std::pair { "BM_StoreLook/recent", Look::Recent },
             std::pair { "BM_StoreLook/read_and_parse", Look::ReadAndParse } }) {
        benchmark::RegisterBenchmark(name, BM_StoreLook, aged, look)->Unit(benchmark::kMicrosecond);
    }

    withStatistics(benchmark::RegisterBenchmark("BM_DurableReplace", BM_DurableReplace, folder), repetitions);
    withStatistics(benchmark::RegisterBenchmark("BM_DiskFloor", BM_DiskFloor, folder, true), repetitions);
    withStatistics(
        benchmark::RegisterBenchmark("BM_DiskFloorOneFlush", BM_DiskFloor, folder, false), repetitions);

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
