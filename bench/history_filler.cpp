#include "bench/history_filler.h"

#include "bench/station_scenario.h"

#include "history/event_log.h"
#include "history/history_database.h"
#include "history/sample_recorder.h"
#include "history/sample_store.h"
#include "status/report.h"
#include "watch/transmitter_watch.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <map>
#include <memory>

namespace history_filler {

namespace {

watch::Alarms alarmsOf(int bits)
{
    watch::Alarms alarms {};
    for (int i = 0; i < watch::kAlarmCount; ++i)
        alarms[size_t(i)] = (bits >> i) & 1;
    return alarms;
}

} // namespace

Result fill(const Options &options)
{
    using namespace history;
    Result result;
    QElapsedTimer timer;
    timer.start();
    const qint64 start = periodStart(options.end - qint64(options.days) * kDayMs, kMinuteMs);
    const qint64 rawFrom
        = qMax(start, periodStart(options.end - qint64(options.rawDays) * kDayMs, kMinuteMs));
    StationScenario scenario(start, options.seed);

    HistoryDatabase events(options.file);
    if (!events.open()) {
        result.error = events.lastError();
        return result;
    }
    events.setAutoCheckpoint(false);
    EventLog log(events);
    qint64 clock = start;
    log.setClock([&clock] { return QDateTime::fromMSecsSinceEpoch(clock, Qt::UTC); });
    // Each start of the panel has a watch of its own, which starts with every alarm off.
    std::unique_ptr<TransmitterWatch> watcher;
    auto startWatch = [&] {
        watcher = std::make_unique<TransmitterWatch>();
        QObject::connect(watcher.get(), &TransmitterWatch::event, [&log, &result](const WatchEvent &e) {
            log.append(e.text, e.detail);
            ++result.events;
        });
    };
    startWatch();
    bool silent = true; // the panel starts at the first report

    auto note = [&](qint64 time, bool silentNow) {
        if (silentNow && !silent) {
            clock = time;
            watcher->noteAction(WatchEvent::Kind::PanelClosed);
            startWatch();
        }
        if (!silentNow && silent) {
            clock = time;
            watcher->noteAction(WatchEvent::Kind::PanelStarted);
        }
        silent = silentNow;
    };

    // The old days: a sample every second, folded a day at a time.
    for (qint64 day = start; day < rawFrom; day += kDayMs) {
        std::map<qint64, Aggregate> minutes;
        std::map<qint64, Aggregate> hours;
        const qint64 dayEnd = qMin(day + kDayMs, rawFrom);
        for (qint64 t = day; t < dayEnd; t += 1000) {
            const bool silentNow = scenario.silentAt(t);
            note(t, silentNow);
            if (silentNow)
                continue;
            const Sample s = scenario.sampleAt(t);
            Aggregate &m = minutes[periodStart(t, kMinuteMs)];
            m.time = periodStart(t, kMinuteMs);
            m.add(s);
            Aggregate &h = hours[periodStart(t, kHourMs)];
            h.time = periodStart(t, kHourMs);
            h.add(s);
            clock = t;
            watcher->report(alarmsOf(scenario.alarmBitsAt(t)), s.uptime);
            ++result.foldedSeconds;
        }
        QList<Aggregate> minuteRows, hourRows;
        for (const auto &m : minutes)
            minuteRows << m.second;
        for (const auto &h : hours)
            hourRows << h.second;
        if (!events.write([&](QSqlDatabase &db) {
                if (QSqlError e = sample_store::mergeFolded(db, Resolution::Minute, minuteRows); e.isValid())
                    return e;
                return sample_store::mergeFolded(db, Resolution::Hour, hourRows);
            })) {
            result.error = events.lastError();
            return result;
        }
    }

    // The last days: every report as the panel takes it in.
    {
        SampleRecorder recorder(options.file);
        recorder.setClock([&clock] { return clock; });
        recorder.setSteadyClock([&clock] { return clock; }); // the simulated days, for retention
        report::Display display = report::Display::initial();
        for (qint64 t = rawFrom; t < options.end; t += 1000) {
            const bool silentNow = scenario.silentAt(t);
            note(t, silentNow);
            if (silentNow)
                continue;
            clock = t;
            report::apply(QString::fromLatin1(scenario.reportAt(t)), display);
            watch::Alarms alarms {};
            for (size_t i = 0; i < alarms.size(); ++i)
                alarms[i] = display.alarms[i];
            watcher->report(alarms, display.texts[12]);
            recorder.record(display);
            if (++result.reports % 4096 == 0 && !recorder.sync(600000)) {
                result.error = QStringLiteral("the recorder could not keep up");
                return result;
            }
        }
        if (!recorder.sync(600000)) {
            result.error = QStringLiteral("the recorder could not commit");
            return result;
        }
    }
    QSqlQuery(events.reader()).exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
    result.ok = true;
    result.seconds = double(timer.nsecsElapsed()) / 1e9;
    return result;
}

} // namespace history_filler
