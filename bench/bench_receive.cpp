// The receive path: bytes from the link through the collector, the report parser and the alarm
// decoder into the display model, as the panel runs it for every receive event.
#include "bench/bench_home.h"
#include "bench/report_stream.h"
#include "support/test_env.h"

#include "status/collector.h"
#include "status/monitor.h"
#include "status/report.h"

#include <QCoreApplication>
#include <benchmark/benchmark.h>

namespace {

constexpr double kWireCharsPerSecond = 960.0; // 9600 baud, 8N1: ten bit times a character
constexpr qsizetype kStreamBytes = 1 << 20;

const report_stream::Stream &stream()
{
    static const report_stream::Stream s = report_stream::make(kStreamBytes);
    return s;
}

void setRates(benchmark::State &state, qint64 bytesPerPass, qint64 reportsPerPass)
{
    const auto passes = qint64(state.iterations());
    state.SetBytesProcessed(passes * bytesPerPass);
    state.SetItemsProcessed(passes * reportsPerPass);
    // Characters a second divided by the wire's: how many times faster than 9600 baud.
    state.counters["x_wire"] = benchmark::Counter(
        double(passes * bytesPerPass) / kWireCharsPerSecond, benchmark::Counter::kIsRate);
}

// Collector, parser and alarm decoder, fed the stream in bursts of state.range(0) bytes.
void BM_ReceivePath(benchmark::State &state)
{
    const auto &s = stream();
    const std::vector<QByteArray> pieces = report_stream::bursts(s.bytes, int(state.range(0)));
    ReportCollector collector;
    report::Display display = report::Display::initial();
    int reports = 0;
    const auto onReport = [&](const QString &text) {
        report::apply(text, display);
        ++reports;
    };
    for (auto _ : state) {
        for (const QByteArray &piece : pieces)
            collector.feed(piece, onReport);
        benchmark::DoNotOptimize(display);
    }
    if (reports != s.reports * int(state.iterations()))
        state.SkipWithError("the collector did not deliver every report of the stream");
    setRates(state, s.bytes.size(), s.reports);
}
BENCHMARK(BM_ReceivePath)->ArgName("burst")->Arg(1)->Arg(32)->Arg(4096);

// The same stream through StatusMonitor::receive: the panel's own handler of the link's bytes, with
// its buffer-change check and signals (nothing connected to them here).
void BM_MonitorReceive(benchmark::State &state)
{
    const auto &s = stream();
    const std::vector<QByteArray> pieces = report_stream::bursts(s.bytes, int(state.range(0)));
    StatusMonitor monitor;
    int reports = 0;
    QObject::connect(&monitor, &StatusMonitor::displayChanged, [&reports] { ++reports; });
    for (auto _ : state) {
        for (const QByteArray &piece : pieces)
            monitor.receive(piece);
        benchmark::DoNotOptimize(monitor.display());
    }
    if (reports == 0)
        state.SkipWithError("the monitor applied no report");
    setRates(state, s.bytes.size(), s.reports);
}
BENCHMARK(BM_MonitorReceive)->ArgName("burst")->Arg(1)->Arg(32)->Arg(4096);

// One complete report, delivered in one burst with its "$", collected, parsed and applied. The
// reports differ from one another, so the display's texts change as on a live transmitter.
void BM_CompleteReport(benchmark::State &state)
{
    const QList<QByteArray> reports = report_stream::distinctReports(64);
    ReportCollector collector;
    report::Display display = report::Display::initial();
    int applied = 0;
    const auto onReport = [&](const QString &text) {
        report::apply(text, display);
        ++applied;
    };
    qsizetype bytes = 0;
    int i = 0;
    for (auto _ : state) {
        const QByteArray &r = reports[i++ & 63];
        collector.feed(r, onReport);
        bytes += r.size();
        benchmark::DoNotOptimize(display);
    }
    if (applied != int(state.iterations()))
        state.SkipWithError("a report was not applied");
    state.SetBytesProcessed(bytes);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CompleteReport);

// The parser and alarm decoder alone on a complete report text (no collector), changing reports
// and the same report again (the display's texts stay, so nothing is allocated).
void BM_ReportApply(benchmark::State &state)
{
    const bool changing = state.range(0) != 0;
    QList<QString> texts;
    for (const QByteArray &r : report_stream::distinctReports(64))
        texts.append(QString::fromLatin1(r.left(r.size() - 1)));
    report::Display display = report::Display::initial();
    int i = 0;
    for (auto _ : state) {
        report::apply(texts[changing ? (i++ & 63) : 0], display);
        benchmark::DoNotOptimize(display);
    }
    if (display.texts[0] == QLatin1String(report::fields()[0].initial))
        state.SkipWithError("the report's output power never reached the display");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReportApply)->ArgName("changing")->Arg(1)->Arg(0);

// Line noise with no "$" at all: the buffer stays full and every burst pushes the oldest characters
// out. Not a normal state of the line, but the costliest one for the collector.
void BM_NoiseAtCapacity(benchmark::State &state)
{
    QByteArray noise(kStreamBytes / 4, Qt::Uninitialized);
    quint32 x = 12345;
    for (char &c : noise) {
        x = x * 1103515245u + 12345u;
        c = char((x >> 16) & 0xFF);
        if (c == '$')
            c = '#';
    }
    const std::vector<QByteArray> pieces = report_stream::bursts(noise, int(state.range(0)));
    ReportCollector collector;
    collector.feed(noise.left(ReportCollector::kCapacity), {});
    for (auto _ : state) {
        for (const QByteArray &piece : pieces)
            collector.feed(piece, {});
        benchmark::DoNotOptimize(collector.buffer());
    }
    if (collector.buffer().size() != ReportCollector::kCapacity)
        state.SkipWithError("the buffer did not stay at its capacity");
    setRates(state, noise.size(), 0);
}
BENCHMARK(BM_NoiseAtCapacity)->ArgName("burst")->Arg(1)->Arg(32)->Arg(4096);

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // Nothing here should touch the store; if something does, it is not the real one.
    TestStoreHome home(benchFolder());
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    const auto &s = stream();
    benchmark::AddCustomContext("stream",
        QStringLiteral("%1 bytes, %2 reports, %3 noise bytes")
            .arg(s.bytes.size())
            .arg(s.reports)
            .arg(s.noiseBytes)
            .toStdString());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
