// panel_measure: starts the simulator and the panel (with the probe loaded) and measures what the
// operator would notice: start-up time to the shown window with the link open, resident memory of
// the idle window, idle CPU with auto-read on, and the longest event-loop stalls during the two
// downloads and a flood of reports. The start-ups alternate with those of a bare Qt window started the
// same way, and the panel's time and memory are also given as multiples of the bare window's.
// Prints a Markdown table of figures against their targets.
#include "bench/bench_home.h"
#include "bench/measure/figures.h"
#include "bench/measure/proc_stats.h"
#include "bench/measure/session.h"
#include "bench/report_stream.h"
#include "support/child_process.h"
#include "support/sim_process.h"
#include "support/test_env.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QSet>
#include <QTextStream>
#include <QThread>
#include <cmath>
#include <cstdio>
#include <memory>

namespace {

struct Config {
    QString platform;
    QString label;
    QString simPath, panelPath, barePath, probePath;
    int startupRuns = 10;
    int settleMs = 3000;
    bool priorRun = false; // each panel start-up on a store and history an earlier run left
    int idleSeconds = 60;
    int floodReports = 2000;
};

struct Tools {
    const Config &config;
    SimProcess &sim;
};

void note(const QString &text)
{
    std::fprintf(stderr, "panel_measure: %s\n", qPrintable(text));
}

// A store of the panel's own: COM 1 is the simulator, the window starts on screen, auto-read on.
std::unique_ptr<TestStoreHome> storeFor(const QString &linkPath)
{
    auto home = std::make_unique<TestStoreHome>(benchFolder());
    if (!home->isValid()
        || !home->writeStore(storeText(linkPath, "TrayAtStart=False\nAutoRead=True\nCOMSelected=1\n")))
        return nullptr;
    return home;
}

// Starts `program` (the panel, or the bare window it is compared with) with the probe, on the
// tool's platform, in the store folder `home`.
std::unique_ptr<PanelRun> launch(
    const Tools &t, const QString &program, const TestStoreHome &home, QString *error)
{
    const QProcessEnvironment env = panelEnvironment(home.configHome(), home.homeFolder(), t.config.platform);
    auto run = std::make_unique<PanelRun>(
        program, t.config.probePath, home.path() + QLatin1String("/probe.sock"), env);
    if (!run->start(error))
        return nullptr;
    return run;
}

// The moment the window was on screen: its first expose, else its first paint, else its Show; and
// which of the three it was.
std::optional<std::pair<qint64, QString>> shownAt(PanelRun &run, int timeoutMs)
{
    const auto show = run.waitForLine("show", timeoutMs);
    if (!show)
        return std::nullopt;
    for (const char *word : { "exposed", "painted" }) {
        if (const auto line = run.waitForLine(word, 2000))
            return std::make_pair(PanelRun::lineTime(*line), QString::fromLatin1(word));
    }
    return std::make_pair(PanelRun::lineTime(*show), QStringLiteral("show"));
}

void reportMessages(const PanelRun &run)
{
    for (const QByteArray &line : run.lines()) {
        if (line.startsWith("message "))
            note(QStringLiteral("the panel showed a message: ") + QString::fromUtf8(line.mid(8)));
    }
}

// One start-up of the panel or of the bare window: from launch to the window on screen, and the
// resident memory once it has settled.
struct StartUp {
    double shownMs = 0; // launch to the window on screen
    double appMs = 0; // launch to QApplication
    double rssMiB = 0; // resident memory after the settling time
    QString base; // which event marked the window as shown
    bool linkOpen = false;
};

// The start-ups of one program over the runs.
struct StartUps {
    std::vector<double> shown, app, rss;
    QSet<QString> bases;
    int linkOpen = 0;

    void add(const StartUp &s)
    {
        shown.push_back(s.shownMs);
        app.push_back(s.appMs);
        rss.push_back(s.rssMiB);
        bases.insert(s.base);
        linkOpen += s.linkOpen ? 1 : 0;
    }
};

// Starts the panel on `home` once and closes it, so that the next start finds the store and the
// history file as an operator's earlier run left them.
bool runBefore(const Tools &t, const TestStoreHome &home)
{
    QString error;
    const auto run = launch(t, t.config.panelPath, home, &error);
    if (!run || !shownAt(*run, 10000)) {
        note(QStringLiteral("the panel did not come up for its earlier run: ") + error);
        return false;
    }
    run->stop();
    QThread::msleep(200); // let the simulator see the line close before the next run
    return true;
}

std::optional<StartUp> startOnce(const Tools &t, const QString &program)
{
    const auto home = storeFor(t.sim.linkPath());
    if (home && t.config.priorRun && program == t.config.panelPath && !runBefore(t, *home))
        return std::nullopt;
    QString error;
    const auto run = home ? launch(t, program, *home, &error) : nullptr;
    if (!run) {
        note(error);
        return std::nullopt;
    }
    const auto at = shownAt(*run, 10000);
    if (!at) {
        note(QStringLiteral("the window was not shown: ") + QString::fromLocal8Bit(run->stderrText()));
        reportMessages(*run);
        return std::nullopt;
    }
    StartUp s;
    s.shownMs = double(at->first - run->launchedNs()) / 1e6;
    s.base = at->second;
    s.appMs = double(PanelRun::lineTime(run->lines().constFirst()) - run->launchedNs()) / 1e6;
    s.linkOpen = proc_stats::hasOpen(run->pid(), t.sim.devicePath());
    waitFor([] { return false; }, t.config.settleMs); // first reports, fonts, caches
    s.rssMiB = proc_stats::statusMiB(run->pid(), "VmRSS");
    reportMessages(*run);
    run->stop();
    QThread::msleep(200); // let the simulator see the line close before the next run
    return s;
}

// The panel's start-ups, each beside one of the bare window's: the two alternate (which goes first
// alternates too), so that a change in the machine's load touches both alike.
void measureStartup(const Tools &t, figures::Table &table)
{
    StartUps panel, bare;
    std::vector<double> timeRatios, memoryRatios; // of the start-ups run side by side
    for (int i = 0; i < t.config.startupRuns; ++i) {
        std::optional<StartUp> p, b;
        if (i % 2 == 0) {
            p = startOnce(t, t.config.panelPath);
            b = startOnce(t, t.config.barePath);
        } else {
            b = startOnce(t, t.config.barePath);
            p = startOnce(t, t.config.panelPath);
        }
        if (p)
            panel.add(*p);
        if (b)
            bare.add(*b);
        if (p && b) {
            timeRatios.push_back(p->shownMs / b->shownMs);
            memoryRatios.push_back(p->rssMiB / b->rssMiB);
        }
    }
    const QString where = t.config.label;
    if (panel.shown.empty()) {
        table.addMissing(QStringLiteral("Start-up to window shown, ") + where,
            QStringLiteral("the window never came up"), QStringLiteral("< 300 ms median"));
        return;
    }
    const figures::Summary s = figures::summarize(panel.shown);
    const figures::Summary a = figures::summarize(panel.app);
    table.add(QStringLiteral("Start-up to window shown, %1 (median of %2)").arg(where).arg(s.count), s.median,
        QStringLiteral("ms"), 300,
        QStringLiteral("min %1, p90 %2, max %3; QApplication reached after %4; shown = first %5")
            .arg(figures::format(s.min), figures::format(s.p90), figures::format(s.max),
                figures::format(a.median), QStringList(panel.bases.values()).join('/')));
    table.addText(QStringLiteral("Link open on the simulator when shown, ") + where,
        QStringLiteral("%1 of %2 runs").arg(panel.linkOpen).arg(s.count), QStringLiteral("every run"),
        panel.linkOpen == s.count);

    const QString beside = QStringLiteral("bare Qt window (QMainWindow + one button)");
    if (bare.shown.empty()) {
        table.addMissing(QStringLiteral("Start-up beside a %1, ").arg(beside) + where,
            QStringLiteral("the bare window never came up"), QStringLiteral("< 1.25 times"));
        return;
    }
    const figures::Summary bs = figures::summarize(bare.shown);
    const figures::Summary ba = figures::summarize(bare.app);
    table.addInfo(
        QStringLiteral("Start-up to window shown, %1, %2 (median of %3, interleaved with the panel's)")
            .arg(beside, where)
            .arg(bs.count),
        QStringLiteral("%1 ms (min %2, p90 %3, max %4; QApplication reached after %5; shown = first %6)")
            .arg(figures::format(bs.median), figures::format(bs.min), figures::format(bs.p90),
                figures::format(bs.max), figures::format(ba.median),
                QStringList(bare.bases.values()).join('/')),
        QStringLiteral("(yardstick)"));
    const figures::Summary pairs = figures::summarize(timeRatios);
    table.add(QStringLiteral("Start-up beside the bare window, ") + where, s.median / bs.median,
        QStringLiteral("times"), 1.25,
        QStringLiteral("ratio of the medians; the %1 pairs' own ratios: median %2, min %3, max %4")
            .arg(pairs.count)
            .arg(figures::format(pairs.median, 2), figures::format(pairs.min, 2),
                figures::format(pairs.max, 2)));

    const figures::Summary pm = figures::summarize(panel.rss);
    const figures::Summary bm = figures::summarize(bare.rss);
    const QString settle = figures::format(t.config.settleMs / 1000.0, 0);
    table.addInfo(QStringLiteral("Resident memory %1 s after shown, panel / bare window, %2 (medians)")
                      .arg(settle, where),
        QStringLiteral("%1 MiB / %2 MiB (panel min %3, max %4; bare min %5, max %6)")
            .arg(figures::format(pm.median), figures::format(bm.median), figures::format(pm.min),
                figures::format(pm.max), figures::format(bm.min), figures::format(bm.max)),
        QStringLiteral("(yardstick)"));
    const figures::Summary memoryPairs = figures::summarize(memoryRatios);
    table.add(QStringLiteral("Resident memory beside the bare window, ") + where, pm.median / bm.median,
        QStringLiteral("times"), 1.1,
        QStringLiteral("ratio of the medians; the pairs' own ratios: median %1, min %2, max %3")
            .arg(figures::format(memoryPairs.median, 3), figures::format(memoryPairs.min, 3),
                figures::format(memoryPairs.max, 3)));
}

// Runs `action` with the heartbeat on and returns the probe's stall figures (ms), or nothing.
std::optional<QByteArray> stallDuring(PanelRun &run, const std::function<bool()> &action)
{
    run.send("heartbeat on");
    QThread::msleep(0);
    const bool done = action();
    const int from = int(run.lines().size());
    run.send("heartbeat off");
    const auto line = run.waitForLine("stall ", 5000, from);
    if (!done || !line)
        return std::nullopt;
    return line->mid(6);
}

// The probe's "key=value" figures of a stall line.
double stallFigure(const QByteArray &figures, const QByteArray &key)
{
    for (const QByteArray &f : figures.split(' ')) {
        if (f.startsWith(key + '='))
            return f.mid(key.size() + 1).toDouble();
    }
    return -1;
}

// Clicks a download button and waits until the progress report is back at 0 after it ran.
bool download(PanelRun &run, const QByteArray &button, int timeoutMs)
{
    const int from = int(run.lines().size());
    run.send("click " + button);
    if (!run.waitForLine("clicked " + button, 3000, from))
        return false;
    bool started = false;
    return waitFor(
        [&] {
            for (int i = from; i < run.lines().size(); ++i) {
                const QByteArray &l = run.lines()[i];
                if (!l.startsWith("progress "))
                    continue;
                const int value = l.split(' ').value(1).toInt();
                started = started || value > 0;
                if (started && value == 0)
                    return true;
            }
            return false;
        },
        timeoutMs);
}

// Sends `count` reports as fast as the simulator takes them, the last one marked, and waits until
// the panel shows the marked one.
bool flood(const Tools &t, PanelRun &run, int count, double *tookMs)
{
    const qint64 startNs = monotonicNs();
    const QList<QByteArray> reports = report_stream::distinctReports(64, 7);
    QByteArray chunk;
    for (int i = 0; i < count; ++i) {
        QByteArray r = reports[i % reports.size()];
        if (i == count - 1) {
            const qsizetype at = r.indexOf("Firmware=") + 9;
            r.replace(at, r.indexOf(',', at) - at, "FLOOD-END");
        }
        chunk += r;
        if (chunk.size() > 12000 || i == count - 1) {
            bool sent = false;
            t.sim.command(QStringLiteral("sendhex ") + QString::fromLatin1(chunk.toHex()), &sent);
            if (!sent)
                return false;
            chunk.clear();
            QThread::msleep(5); // keeps the simulator's queue for the line below its bound
        }
    }
    const bool shown = waitFor(
        [&] {
            const int from = int(run.lines().size());
            run.send("text Text14");
            const auto line = run.waitForLine("text Text14", 2000, from);
            if (line && line->endsWith(" FLOOD-END"))
                return true;
            QThread::msleep(50);
            return false;
        },
        30000);
    *tookMs = double(monotonicNs() - startNs) / 1e6;
    return shown;
}

// The pauses of a download as the simulator read them: the gaps of at least half the nominal pause
// between the pieces of its frames `commands` (and from one frame's end to the next one's start),
// among the frames read after the first `from`.
std::vector<double> wirePauses(
    const SimProcess &sim, qsizetype from, const QStringList &commands, int nominalMs)
{
    std::vector<double> pauses;
    double last = -1;
    for (const QJsonObject &frame : sim.frames().mid(from)) {
        if (!commands.contains(frame.value(QLatin1String("command")).toString()))
            continue;
        for (const QJsonValue &piece : frame.value(QLatin1String("pieces")).toArray()) {
            const double at = piece.toObject().value(QLatin1String("t")).toDouble();
            if (last >= 0 && at - last >= nominalMs / 2.0)
                pauses.push_back(at - last);
            last = at;
        }
    }
    return pauses;
}

// A row for the pacing of a download on the wire: the largest difference of a pause from its
// nominal length, held against the 50 ms the tests once held it to before they left exact pacing here.
void addPacing(
    figures::Table &table, const QString &what, std::vector<double> pauses, int expected, int nominalMs)
{
    if (int(pauses.size()) != expected) {
        table.addMissing(what,
            QStringLiteral("%1 pauses found on the wire, not %2").arg(pauses.size()).arg(expected),
            QStringLiteral("< 50 ms off"));
        return;
    }
    double worst = 0;
    for (double p : pauses)
        worst = std::max(worst, std::abs(p - nominalMs));
    const figures::Summary s = figures::summarize(std::move(pauses));
    table.add(what, worst, QStringLiteral("ms off"), 50,
        QStringLiteral("%1 pauses of %2 ms as the simulator read them: min %3, median %4, max %5")
            .arg(s.count)
            .arg(nominalMs)
            .arg(figures::format(s.min), figures::format(s.median), figures::format(s.max)));
}

void measureRunning(const Tools &t, figures::Table &table)
{
    const QString where = t.config.label;
    const auto home = storeFor(t.sim.linkPath());
    QString error;
    const auto run = home ? launch(t, t.config.panelPath, *home, &error) : nullptr;
    if (!run || !shownAt(*run, 10000)) {
        note(QStringLiteral("the panel did not come up for the long run: ") + error);
        table.addMissing(
            QStringLiteral("Idle window, ") + where, QStringLiteral("the window never came up"), QString());
        return;
    }
    const qint64 pid = run->pid();
    waitFor([] { return false; }, t.config.settleMs); // first reports, fonts, caches

    const double rssShown = proc_stats::statusMiB(pid, "VmRSS");
    const QJsonObject before = t.sim.state();
    const double cpuBefore = proc_stats::cpuSeconds(pid);
    const qint64 startNs = monotonicNs();
    waitFor([] { return false; }, t.config.idleSeconds * 1000);
    const double cpuAfter = proc_stats::cpuSeconds(pid);
    const double wall = double(monotonicNs() - startNs) / 1e9;
    const QJsonObject after = t.sim.state();
    const int requests
        = after.value(QStringLiteral("frames")).toInt() - before.value(QStringLiteral("frames")).toInt();
    const double rssIdle = proc_stats::statusMiB(pid, "VmRSS");

    table.add(QStringLiteral("Resident memory of the idle window, ") + where, rssIdle, QStringLiteral("MiB"),
        60, QStringLiteral("%1 MiB just after start-up").arg(figures::format(rssShown)));
    const double cpu = (cpuAfter - cpuBefore) / wall * 100.0;
    table.add(QStringLiteral("Idle CPU, auto-read on, %1 s, ").arg(qRound(wall)) + where, cpu,
        QStringLiteral("% of a core"), 1.0,
        QStringLiteral("%1 status requests meanwhile, each answered").arg(requests));

    struct Load {
        const char *what;
        std::function<bool()> action;
        QStringList frames = {}; // a download's commands, for its pacing on the wire
        int pauses = 0; // how many of its pauses the wire shows (the last is followed by no byte)
        int pauseMs = 0;
    };
    const int floodCount = t.config.floodReports;
    double floodMs = 0;
    const Load loads[] = {
        { "settings download", [&] { return download(*run, "Command16", 20000); },
            { "FO", "FAS", "FAT", "FAU", "FAC", "FAA", "FW" }, 6, 600 },
        { "logo download", [&] { return download(*run, "Command9", 30000); }, { "FL1", "FL2", "FLS" }, 12,
            1000 },
        { "flood of reports", [&] { return flood(t, *run, floodCount, &floodMs); } },
    };
    for (const Load &load : loads) {
        const QString what
            = QStringLiteral("Longest event-loop stall, %1, ").arg(QLatin1String(load.what)) + where;
        const qsizetype framesBefore = t.sim.frames().size();
        const auto stall = stallDuring(*run, load.action);
        if (stall && !load.frames.isEmpty()) {
            const QString pacing
                = QStringLiteral("Pauses on the wire, %1, ").arg(QLatin1String(load.what)) + where;
            waitFor(
                [&] {
                    qsizetype n = 0;
                    for (const QJsonObject &f : t.sim.frames().mid(framesBefore))
                        n += load.frames.contains(f.value(QLatin1String("command")).toString());
                    return n >= load.frames.size();
                },
                5000);
            addPacing(table, pacing, wirePauses(t.sim, framesBefore, load.frames, load.pauseMs), load.pauses,
                load.pauseMs);
        }
        if (!stall) {
            table.addMissing(what, QStringLiteral("did not complete"), QStringLiteral("< 16 ms"));
            continue;
        }
        // Judged on the panel's own stall: the wall-clock lateness less the time its thread waited
        // for a CPU that other programs held.
        QString detail = QStringLiteral("wall-clock %1 ms; longest wait for a CPU %2 ms; "
                                        "p99 %3 ms; %4 beats over 16 ms wall-clock, %5 own; %6 beats")
                             .arg(figures::format(stallFigure(*stall, "max_ms"), 2),
                                 figures::format(stallFigure(*stall, "max_wait_ms"), 2),
                                 figures::format(stallFigure(*stall, "p99_ms"), 2))
                             .arg(int(stallFigure(*stall, "over16")))
                             .arg(int(stallFigure(*stall, "own_over16")))
                             .arg(int(stallFigure(*stall, "samples")));
        if (QLatin1String(load.what) == QLatin1String("flood of reports"))
            detail += QStringLiteral("; %1 reports shown within %2 ms").arg(floodCount).arg(qRound(floodMs));
        table.add(what, stallFigure(*stall, "own_max_ms"), QStringLiteral("ms"), 16, detail);
    }
    table.add(QStringLiteral("Peak resident memory over the run, ") + where,
        proc_stats::statusMiB(pid, "VmHWM"), QStringLiteral("MiB"), 60);
    reportMessages(*run);
    run->stop();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Measures the running panel against the simulator."));
    parser.addHelpOption();
    const QCommandLineOption platform(QStringLiteral("platform"),
        QStringLiteral("Qt platform for the panel."), QStringLiteral("NAME"),
        qEnvironmentVariable("QT_QPA_PLATFORM", "offscreen"));
    const QCommandLineOption label(
        QStringLiteral("label"), QStringLiteral("Name of the desktop in the table."), QStringLiteral("TEXT"));
    const QCommandLineOption runs(QStringLiteral("startup-runs"), QStringLiteral("Start-ups to time (10)."),
        QStringLiteral("N"), QStringLiteral("10"));
    const QCommandLineOption idle(QStringLiteral("idle-seconds"), QStringLiteral("Idle CPU window (60)."),
        QStringLiteral("S"), QStringLiteral("60"));
    const QCommandLineOption reports(QStringLiteral("flood-reports"),
        QStringLiteral("Reports in the flood (2000)."), QStringLiteral("N"), QStringLiteral("2000"));
    const QCommandLineOption startupOnly(QStringLiteral("startup-only"),
        QStringLiteral("Measure the start-ups beside the bare window only, not the running window."));
    const QCommandLineOption priorRun(QStringLiteral("prior-run"),
        QStringLiteral(
            "Start and close the panel once on each store before its timed start-up: the "
            "everyday start, on the store and history an earlier run left, instead of the first."));
    const QCommandLineOption markdown(
        QStringLiteral("markdown"), QStringLiteral("Also write the table to FILE."), QStringLiteral("FILE"));
    const QCommandLineOption panel(QStringLiteral("panel"), QStringLiteral("The panel program."),
        QStringLiteral("PATH"), QStringLiteral(VALTRONA_PANEL_PATH));
    const QCommandLineOption bare(QStringLiteral("bare"),
        QStringLiteral("The bare Qt window the panel is compared with."), QStringLiteral("PATH"),
        QStringLiteral(VALTRONA_BARE_PATH));
    const QCommandLineOption sim(QStringLiteral("sim"), QStringLiteral("The simulator program."),
        QStringLiteral("PATH"), QStringLiteral(VALTRONA_SIM_PATH));
    const QCommandLineOption probe(QStringLiteral("probe"), QStringLiteral("The probe library."),
        QStringLiteral("PATH"), QStringLiteral(VALTRONA_PROBE_PATH));
    parser.addOptions(
        { platform, label, runs, idle, reports, startupOnly, priorRun, markdown, panel, bare, sim, probe });
    parser.process(app);

    Config config;
    config.platform = parser.value(platform);
    config.label = parser.isSet(label) ? parser.value(label) : config.platform;
    config.simPath = parser.value(sim);
    config.panelPath = parser.value(panel);
    config.barePath = parser.value(bare);
    config.priorRun = parser.isSet(priorRun);
    config.probePath = parser.value(probe);
    config.startupRuns = std::max(1, parser.value(runs).toInt());
    config.idleSeconds = std::max(1, parser.value(idle).toInt());
    config.floodReports = std::max(1, parser.value(reports).toInt());
    for (const QString &path : { config.simPath, config.panelPath, config.barePath, config.probePath }) {
        if (!QFile::exists(path)) {
            note(path + QStringLiteral(" is missing; build it first"));
            return 2;
        }
    }

    // The simulator's log gives the downloads' pacing on the wire.
    SimProcess simulator;
    simulator.setProgram(config.simPath);
    if (!simulator.start()) {
        note(QStringLiteral("the simulator did not come up: ")
            + QString::fromLocal8Bit(simulator.stderrText()));
        return 1;
    }
    const Tools tools { config, simulator };

    figures::Table table;
    measureStartup(tools, table);
    if (!parser.isSet(startupOnly))
        measureRunning(tools, table);
    simulator.stop();

    const QString text = table.markdown();
    std::fputs(qPrintable(text), stdout);
    if (parser.isSet(markdown)) {
        QFile out(parser.value(markdown));
        if (out.open(QIODevice::WriteOnly | QIODevice::Truncate))
            out.write(text.toUtf8());
    }
    return table.allMet() ? 0 : 3;
}
