// Fills a history file with days of a transmitter's reports, for pictures and measurements:
//
//   history_fill FILE [--days N] [--raw-days N] [--end now|TIME] [--seed N]
//
// The last --raw-days (8) go through the report parser, the recorder and the watch as the running
// panel would keep them; the days before are folded directly (see history_filler.h).
#include "bench/history_filler.h"

#include "app/command_line.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("the history file"));
    const QCommandLineOption days(QStringLiteral("days"), QStringLiteral("days of history (1)"),
        QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption rawDays(QStringLiteral("raw-days"), QStringLiteral("days of raw reports (8)"),
        QStringLiteral("N"), QStringLiteral("8"));
    const QCommandLineOption end(QStringLiteral("end"), QStringLiteral("the last report's time (now)"),
        QStringLiteral("TIME"), QStringLiteral("now"));
    const QCommandLineOption seed(QStringLiteral("seed"), QStringLiteral("the scenario's seed (1)"),
        QStringLiteral("N"), QStringLiteral("1"));
    parser.addOptions({ days, rawDays, end, seed });
    parser.addHelpOption();
    parser.process(app);
    if (parser.positionalArguments().size() != 1)
        parser.showHelp(2);

    history_filler::Options options;
    options.file = parser.positionalArguments().first();
    options.days = parser.value(days).toInt();
    options.rawDays = parser.value(rawDays).toInt();
    options.seed = parser.value(seed).toUInt();
    options.end = parser.value(end) == QLatin1String("now")
        ? QDateTime::currentMSecsSinceEpoch()
        : CommandLine::parseTime(parser.value(end)).toMSecsSinceEpoch();
    const history_filler::Result result = history_filler::fill(options);
    if (!result.ok) {
        std::fprintf(stderr, "history_fill: %s\n", qPrintable(result.error));
        return 1;
    }
    std::printf("%lld reports recorded, %lld seconds folded, %lld events, in %.1f s\n", result.reports,
        result.foldedSeconds, result.events, result.seconds);
    return 0;
}
