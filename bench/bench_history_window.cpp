// The history window over a year of history: fills a history file with a year of a transmitter's
// reports as the panel keeps them (the last 8 days raw, the rest folded), tells its size, then times
// opening each range of the history window (read, reduced and drawn, until the window's picture is
// made) and an export of the last 8 days (every raw sample) to CSV.
//
//   bench_history_window [--days N] [--file FILE] [--runs N] [--shot DIR] [--only N] [--flap-month]
//
// --flap-month adds a month of an alarm flapping once a second before the newest sample, and times
// the last hour's redraw over it.
//
// --file reuses (or keeps) the filled file; --shot saves the window's picture of each range.
#include "bench/bench_home.h"
#include "bench/history_filler.h"
#include "support/test_env.h"

#include "history/event_log.h"
#include "history/history_database.h"
#include "history/history_view.h"
#include "history/sample_export.h"
#include "history/sample_store.h"
#include "ui/history_window.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QPixmap>
#include <QSqlQuery>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

qint64 sizeOf(const QString &file)
{
    return QFileInfo(file).size() + QFileInfo(file + QStringLiteral("-wal")).size();
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption daysOption(QStringLiteral("days"), QStringLiteral("days of history (365)"),
        QStringLiteral("N"), QStringLiteral("365"));
    const QCommandLineOption fileOption(
        QStringLiteral("file"), QStringLiteral("the history file to fill or reuse"), QStringLiteral("FILE"));
    const QCommandLineOption runsOption(QStringLiteral("runs"), QStringLiteral("openings per range (7)"),
        QStringLiteral("N"), QStringLiteral("7"));
    const QCommandLineOption shotOption(
        QStringLiteral("shot"), QStringLiteral("save each range's picture in DIR"), QStringLiteral("DIR"));
    const QCommandLineOption onlyOption(QStringLiteral("only"),
        QStringLiteral("time only this range: 0 hour, 1 day, 2 week, 3 month, 4 year"), QStringLiteral("N"));
    const QCommandLineOption flapOption(QStringLiteral("flap-month"),
        QStringLiteral("add a month of an alarm flapping once a second (2.6 million events) and time the "
                       "last hour's openings and its 5 s redraws"));
    parser.addOptions({ daysOption, fileOption, runsOption, shotOption, onlyOption, flapOption });
    parser.addHelpOption();
    parser.process(app);

    TestStoreHome home(benchFolder());
    const QString file
        = parser.isSet(fileOption) ? parser.value(fileOption) : home.path() + QStringLiteral("/year.sqlite");
    const int days = parser.value(daysOption).toInt();
    const int runs = qMax(1, parser.value(runsOption).toInt());

    qint64 end = QDateTime::currentMSecsSinceEpoch();
    if (!QFileInfo::exists(file)) {
        history_filler::Options options;
        options.file = file;
        options.days = days;
        options.end = end;
        std::printf(
            "Filling %d days into %s (%s)...\n", days, qPrintable(file), qPrintable(fileSystemOf(file)));
        std::fflush(stdout);
        const history_filler::Result filled = history_filler::fill(options);
        if (!filled.ok) {
            std::fprintf(stderr, "filling failed: %s\n", qPrintable(filled.error));
            return 1;
        }
        std::printf("Filled in %.0f s: %lld reports through the recorder, %lld seconds folded, %lld events\n",
            filled.seconds, filled.reports, filled.foldedSeconds, filled.events);
    }
    if (parser.isSet(flapOption)) {
        // The month before the file's newest sample, one event a second: "alarm on" and "alarm off"
        // of the SWR alarm in turn, as a contact that flaps does.
        HistoryDatabase writer(file);
        writer.open();
        qint64 newest = end;
        {
            QSqlQuery q(writer.reader());
            if (q.exec(QStringLiteral("SELECT MAX(time) FROM samples")) && q.next() && !q.value(0).isNull())
                newest = q.value(0).toLongLong();
        }
        QElapsedTimer timer;
        timer.start();
        const qint64 count = 30LL * 86400;
        for (qint64 done = 0; done < count;) {
            const bool ok = writer.write([&](QSqlDatabase &db) -> QSqlError {
                QSqlQuery q(db);
                q.prepare(
                    QStringLiteral("INSERT INTO events (time, event, detail) VALUES (?, ?, 'SWR ALARM')"));
                for (int i = 0; i < 100000 && done < count; ++i, ++done) {
                    q.bindValue(0,
                        EventLog::timeText(
                            QDateTime::fromMSecsSinceEpoch(newest - (count - done) * 1000, Qt::UTC)));
                    q.bindValue(1, done % 2 ? QStringLiteral("alarm off") : QStringLiteral("alarm on"));
                    if (!q.exec())
                        return q.lastError();
                }
                return {};
            });
            if (!ok) {
                std::fprintf(stderr, "adding the events failed: %s\n", qPrintable(writer.lastError()));
                return 1;
            }
        }
        std::printf("Added %lld flapping events in %.0f s\n", count, double(timer.elapsed()) / 1000.0);
    }
    HistoryDatabase database(file, HistoryDatabase::Mode::ReadOnly);
    if (!database.open()) {
        std::fprintf(stderr, "cannot open %s: %s\n", qPrintable(file), qPrintable(database.lastError()));
        return 1;
    }
    {
        QSqlQuery q(database.reader());
        if (q.exec(QStringLiteral("SELECT MAX(time) FROM samples")) && q.next() && !q.value(0).isNull())
            end = q.value(0).toLongLong() + 1000;
    }
    std::printf("\n| History file | Figure |\n| --- | --- |\n");
    std::printf("| Size (file and log) | %.1f MiB |\n", double(sizeOf(file)) / 1048576.0);
    std::printf("| Raw samples | %lld |\n",
        history::sample_store::count(database.reader(), history::Resolution::Raw));
    std::printf("| Minute rows | %lld |\n",
        history::sample_store::count(database.reader(), history::Resolution::Minute));
    std::printf(
        "| Hour rows | %lld |\n", history::sample_store::count(database.reader(), history::Resolution::Hour));

    struct Case {
        HistoryWindow::Range range;
        const char *name;
    };
    const Case cases[] = { { HistoryWindow::Range::LastHour, "1 hour" },
        { HistoryWindow::Range::LastDay, "24 hours" }, { HistoryWindow::Range::LastWeek, "7 days" },
        { HistoryWindow::Range::LastMonth, "30 days" }, { HistoryWindow::Range::LastYear, "1 year" } };
    std::printf("\n| Range | Rows read | Resolution | First opening | Median of %d | Slowest | Read and "
                "reduced (median) |\n"
                "| --- | --- | --- | --- | --- | --- | --- |\n",
        runs);
    for (const Case &c : cases) {
        if (parser.isSet(onlyOption) && parser.value(onlyOption).toInt() != int(c.range))
            continue;
        std::vector<double> times;
        std::vector<double> own;
        double first = 0;
        qint64 rows = 0;
        QString resolution;
        for (int run = 0; run < runs; ++run) {
            // A window of its own each time: opening the window on that range, as the menu does.
            QWidget parent;
            QElapsedTimer timer;
            timer.start();
            auto *window = new HistoryWindow(database, &parent);
            window->setClock([end] { return end; });
            window->resize(980,
                qEnvironmentVariableIntValue("BENCH_WINDOW_HEIGHT") > 0
                    ? qEnvironmentVariableIntValue("BENCH_WINDOW_HEIGHT")
                    : 900);
            window->showRange(c.range);
            window->show();
            QApplication::processEvents(); // the charts' layout, then their lining up
            QApplication::processEvents();
            const QPixmap picture = window->grab(); // every chart drawn
            const double ms = double(timer.nsecsElapsed()) / 1e6;
            if (run == 0)
                first = ms;
            times.push_back(ms);
            own.push_back(double(window->lastLoadMs()));
            rows = window->view().rows;
            resolution = window->view().resolution == history::Resolution::Raw ? QStringLiteral("raw")
                : window->view().resolution == history::Resolution::Minute     ? QStringLiteral("minute")
                                                                               : QStringLiteral("hour");
            if (run == 0 && parser.isSet(shotOption))
                picture.save(parser.value(shotOption) + QStringLiteral("/history-%1.png").arg(int(c.range)));
            delete window;
        }
        std::printf("| %s | %lld | %s | %.0f ms | %.0f ms | %.0f ms | %.0f ms |\n", c.name, rows,
            qPrintable(resolution), first, median(times), *std::max_element(times.begin(), times.end()),
            median(own));
        std::fflush(stdout);
    }

    if (parser.isSet(flapOption)) {
        // The last hour kept open: its redraw every 5 s, as the window's timer does it.
        QWidget parent;
        auto *window = new HistoryWindow(database, &parent);
        window->setClock([end] { return end; });
        window->resize(980, 900);
        window->showRange(HistoryWindow::Range::LastHour);
        window->show();
        QApplication::processEvents();
        std::vector<double> redraws;
        std::vector<double> alarms;
        for (int run = 0; run < runs; ++run) {
            QElapsedTimer timer;
            timer.start();
            window->refresh();
            redraws.push_back(double(timer.nsecsElapsed()) / 1e6);
            timer.restart();
            bool ok = false;
            history::alarmPeriods(database.reader(), end - history::kHourMs, end, end, &ok);
            alarms.push_back(double(timer.nsecsElapsed()) / 1e6);
        }
        std::printf(
            "\n| Last hour after a month of flapping | Median of %d | Slowest |\n| --- | --- | --- |\n",
            runs);
        std::printf("| Redraw (read, reduce, draw) | %.1f ms | %.1f ms |\n", median(redraws),
            *std::max_element(redraws.begin(), redraws.end()));
        std::printf("| Of it the alarm periods | %.2f ms | %.2f ms |\n", median(alarms),
            *std::max_element(alarms.begin(), alarms.end()));
        delete window;
    }

    if (parser.isSet(onlyOption))
        return 0;

    // The last 8 days as CSV: every raw sample.
    const QString csv = home.path() + QStringLiteral("/export.csv");
    std::vector<double> exportTimes;
    qint64 rows = 0;
    for (int run = 0; run < 3; ++run) {
        QFile out(csv);
        if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 1;
        QElapsedTimer timer;
        timer.start();
        if (!history::writeSamplesCsv(database, out, end - 8 * history::kDayMs, end, &rows)) {
            std::fprintf(stderr, "the export failed\n");
            return 1;
        }
        out.close();
        exportTimes.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    std::printf(
        "\n| Export | Rows | Size | Median of 3 | Rows a second |\n| --- | --- | --- | --- | --- |\n");
    std::printf("| Last 8 days to CSV | %lld | %.1f MiB | %.0f ms | %.0f |\n", rows,
        double(QFileInfo(csv).size()) / 1048576.0, median(exportTimes),
        double(rows) / (median(exportTimes) / 1000.0));
    QFile::remove(csv);
    return 0;
}
