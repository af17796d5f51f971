// Retention in the manner of a round-robin database, on a simulated clock: what stays raw (the last
// eight days), what is folded into minutes and hours (everything, for two years), and that the
// minimum, mean and maximum of each number come out right, also when a report lacks a field, when
// the clock is set back, and when a sample's minute is folded in two batches.
#include "history/event_log.h"
#include "history/history_database.h"
#include "history/history_view.h"
#include "history/sample_recorder.h"
#include "history/sample_store.h"
#include "status/report.h"
#include "support/test_env.h"

#include <QSqlQuery>
#include <QtTest>
#include <atomic>

using namespace history;

namespace {

const qint64 kStart = QDateTime(QDate(2026, 3, 1), QTime(0, 0), Qt::UTC).toMSecsSinceEpoch();

// The sample of second `t` (from kStart): within each minute the six samples 10 s apart carry
// forward power 100 to 105 W, reflected 1.0 to 1.5 W, and a PSU temperature only every other one.
Sample sampleAt(qint64 t)
{
    Sample s;
    s.time = kStart + t * 1000;
    const int k = int((t % 60) / 10);
    s.values[Forward] = 100 + k;
    s.values[Reflected] = 1 + k * 0.1;
    if (k % 2 == 0)
        s.values[PsuTemp] = 30 + k; // 30, 32, 34
    s.values[RfDrive] = 50;
    s.computeSwr();
    s.alarmCode = k == 3 ? QStringLiteral("02") : k == 4 ? QStringLiteral("08") : QStringLiteral("00");
    s.uptime = QStringLiteral("0000D:00H:%1M").arg(t / 60 % 60, 2, 10, QLatin1Char('0'));
    s.firmware = QStringLiteral("1.40");
    return s;
}

QList<Aggregate> folded(QSqlDatabase db, Resolution r, qint64 from, qint64 to)
{
    QList<Aggregate> rows;
    sample_store::readFolded(db, r, from, to, [&rows](const Aggregate &a) { rows.append(a); });
    return rows;
}

QList<Sample> raw(QSqlDatabase db, qint64 from = kStart - 1000 * kDayMs, qint64 to = kStart + 1000 * kDayMs)
{
    QList<Sample> rows;
    sample_store::readRaw(db, from, to, [&rows](const Sample &s) { rows.append(s); });
    return rows;
}

} // namespace

class TestHistoryRetention : public QObject
{
    Q_OBJECT
private:
    TestStoreHome m_home;
    QTemporaryDir m_dir;

private slots:
    void foldsAndKeeps();
    void clockSetBack();
    void mergesAcrossBatches();
    void eventsKeptAsLongAsFolded();
    void clockJumps_data();
    void clockJumps();
};

void TestHistoryRetention::foldsAndKeeps()
{
    const QString file = m_dir.filePath(QStringLiteral("retention.sqlite"));
    const qint64 days = 10;
    const qint64 last = days * 86400 - 10; // seconds, one sample every 10 s
    {
        SampleRecorder recorder(file);
        // Ten days go by on the steady clock as well.
        std::atomic<qint64> steady { 0 };
        recorder.setSteadyClock([&steady] { return steady.load(); });
        for (qint64 t = 0; t <= last; t += 10) {
            steady = t * 1000;
            recorder.add(sampleAt(t));
        }
        QVERIFY(recorder.sync(120000));
        steady = steady + kHourMs; // the rest of the two days' retention
        QVERIFY(recorder.sync(120000));
        QCOMPARE(recorder.committedCount(), last / 10 + 1);
    }
    HistoryDatabase db(file, HistoryDatabase::Mode::ReadOnly);
    QVERIFY(db.open());
    QSqlDatabase sql = db.reader();

    // Raw: exactly the samples of the last eight days (cut at a whole minute).
    const qint64 newest = kStart + last * 1000;
    const qint64 rawCut = periodStart(newest - kRawKeepMs, kMinuteMs);
    const QList<Sample> kept = raw(sql);
    QCOMPARE(kept.size(), (last * 1000 - (rawCut - kStart)) / 10000 + 1);
    QCOMPARE(kept.first().time, rawCut);
    QCOMPARE(kept.last().time, newest);
    for (qsizetype i = 1; i < kept.size(); ++i)
        QCOMPARE(kept[i].time - kept[i - 1].time, 10000);

    // Folded: every minute and every hour of the ten days, the old ones and the recent ones alike.
    QCOMPARE(sample_store::count(sql, Resolution::Minute), days * 24 * 60);
    QCOMPARE(sample_store::count(sql, Resolution::Hour), days * 24);

    // A minute of the first day: its raw samples are gone, its row is right.
    const qint64 minute = kStart + 10 * kHourMs + 7 * kMinuteMs;
    QVERIFY(raw(sql, minute, minute + kMinuteMs).isEmpty());
    const QList<Aggregate> rows = folded(sql, Resolution::Minute, minute, minute + 1);
    QCOMPARE(rows.size(), 1);
    const Aggregate &a = rows.first();
    QCOMPARE(a.time, minute);
    QCOMPARE(a.samples, 6);
    QCOMPARE(a.stats[Forward].min, 100.0);
    QCOMPARE(a.stats[Forward].max, 105.0);
    QCOMPARE(a.stats[Forward].mean(), 102.5);
    QCOMPARE(a.stats[Forward].count, 6);
    QCOMPARE(a.stats[Reflected].min, 1.0);
    QCOMPARE(a.stats[Reflected].max, 1.5);
    QCOMPARE(a.stats[Reflected].mean(), 1.25);
    QCOMPARE(a.stats[PsuTemp].count, 3); // only every other sample had it
    QCOMPARE(a.stats[PsuTemp].min, 30.0);
    QCOMPARE(a.stats[PsuTemp].max, 34.0);
    QCOMPARE(a.stats[PsuTemp].mean(), 32.0);
    QCOMPARE(a.stats[AmpTemp].count, 0); // never had it
    QVERIFY(!hasValue(a.stats[AmpTemp].mean()));
    // The SWR of each sample, folded: 1.0 W of 100 W is the lowest, 1.5 W of 105 W the highest.
    QVERIFY(qAbs(a.stats[Swr].min - standingWaveRatio(100, 1.0).value()) < 0.0006);
    QVERIFY(qAbs(a.stats[Swr].max - standingWaveRatio(105, 1.5).value()) < 0.0006);
    double swrSum = 0;
    for (int k = 0; k < 6; ++k)
        swrSum += standingWaveRatio(100 + k, 1 + k * 0.1).value();
    QVERIFY(qAbs(a.stats[Swr].mean() - swrSum / 6) < 0.0006);
    // Every alarm on during the minute (02 and 08), and the last texts.
    QCOMPARE(a.alarmCode(), QStringLiteral("10"));
    QCOMPARE(a.uptime, QStringLiteral("0000D:00H:07M"));
    QCOMPARE(a.firmware, QStringLiteral("1.40"));

    // Its hour: 360 samples, the same extremes and mean.
    const QList<Aggregate> hours
        = folded(sql, Resolution::Hour, kStart + 10 * kHourMs, kStart + 10 * kHourMs + 1);
    QCOMPARE(hours.size(), 1);
    QCOMPARE(hours.first().samples, 360);
    QCOMPARE(hours.first().stats[Forward].min, 100.0);
    QCOMPARE(hours.first().stats[Forward].max, 105.0);
    QVERIFY(qAbs(hours.first().stats[Forward].mean() - 102.5) < 0.001);
    QCOMPARE(hours.first().stats[PsuTemp].count, 180);

    // A recent minute: raw and folded both, agreeing.
    const qint64 recent = periodStart(newest, kMinuteMs) - kMinuteMs;
    QCOMPARE(raw(sql, recent, recent + kMinuteMs).size(), 6);
    const QList<Aggregate> recentRows = folded(sql, Resolution::Minute, recent, recent + 1);
    QCOMPARE(recentRows.size(), 1);
    QCOMPARE(recentRows.first().stats[Forward].mean(), 102.5);

    // Two years on, the folded rows older than two years go, the rest stay: a few hours' worth
    // of rows for each hour of retention.
    {
        SampleRecorder recorder(file);
        std::atomic<qint64> steady { 0 };
        recorder.setSteadyClock([&steady] { return steady.load(); });
        Sample later = sampleAt(0);
        later.time = kStart + kFoldedKeepMs + 2 * kDayMs + 30 * kMinuteMs;
        recorder.add(later);
        QVERIFY(recorder.sync(120000));
        {
            HistoryDatabase reader(file, HistoryDatabase::Mode::ReadOnly);
            QVERIFY(reader.open());
            const qint64 rawBefore = last / 10 + 1 - (rawCut - kStart) / 10000;
            QCOMPARE(sample_store::count(reader.reader(), Resolution::Raw),
                rawBefore + 1 - SampleRecorder::kRawPrunePerHour);
        }
        for (int hour = 1; hour <= 13; ++hour) {
            steady = hour * kHourMs;
            QVERIFY(recorder.sync(120000));
        }
    }
    QVERIFY(db.open());
    sql = db.reader();
    const qint64 foldedCut
        = periodStart(kStart + kFoldedKeepMs + 2 * kDayMs + 30 * kMinuteMs - kFoldedKeepMs, kHourMs);
    QCOMPARE(foldedCut, kStart + 2 * kDayMs);
    QCOMPARE(sample_store::count(sql, Resolution::Minute), (days - 2) * 24 * 60 + 1);
    QCOMPARE(sample_store::count(sql, Resolution::Hour), (days - 2) * 24 + 1);
    QCOMPARE(
        folded(sql, Resolution::Minute, kStart - kDayMs, kStart + 1000 * kDayMs).first().time, foldedCut);
    QCOMPARE(sample_store::count(sql, Resolution::Raw), 1); // only the new one is within eight days
}

// The station PC's clock corrected backwards in the middle of recording: every sample is kept
// once, reading gives them in time order, and each minute counts each of its samples once.
void TestHistoryRetention::clockSetBack()
{
    const QString file = m_dir.filePath(QStringLiteral("clock.sqlite"));
    qint64 clock = kStart + 5 * kMinuteMs;
    QList<qint64> times;
    {
        SampleRecorder recorder(file);
        recorder.setClock([&clock] { return clock; });
        report::Display display = report::Display::initial();
        for (int i = 0; i < 200; ++i) {
            if (i == 120)
                clock -= 90 * 1000; // set back by a minute and a half
            report::apply(QStringLiteral("Pfwd=%1W,").arg(i), display);
            recorder.record(display);
            times << clock;
            if (i % 37 == 0)
                QVERIFY(recorder.sync());
            clock += 1000;
        }
        QVERIFY(recorder.sync());
    }
    HistoryDatabase db(file, HistoryDatabase::Mode::ReadOnly);
    QVERIFY(db.open());
    QSqlDatabase sql = db.reader();
    const QList<Sample> rows = raw(sql);
    QCOMPARE(rows.size(), 200);
    QList<double> forwards;
    for (qsizetype i = 0; i < rows.size(); ++i) {
        if (i > 0)
            QVERIFY(rows[i].time >= rows[i - 1].time);
        forwards << rows[i].values[Forward];
    }
    std::sort(forwards.begin(), forwards.end());
    for (int i = 0; i < 200; ++i)
        QCOMPARE(forwards[i], double(i)); // each once
    std::sort(times.begin(), times.end());
    QCOMPARE(rows.first().time, times.first());
    QCOMPARE(rows.last().time, times.last());

    qint64 folded = 0;
    qint64 previous = std::numeric_limits<qint64>::min();
    for (const Aggregate &a : ::folded(sql, Resolution::Minute, kStart - kDayMs, kStart + kDayMs)) {
        QVERIFY(a.time > previous);
        previous = a.time;
        folded += a.samples;
        // The minute's numbers are those of the raw samples that fall in it.
        double sum = 0, lo = 1e9, hi = -1e9;
        int n = 0;
        for (const Sample &s : rows) {
            if (periodStart(s.time, kMinuteMs) == a.time) {
                sum += s.values[Forward];
                lo = qMin(lo, s.values[Forward]);
                hi = qMax(hi, s.values[Forward]);
                ++n;
            }
        }
        QCOMPARE(a.samples, n);
        QCOMPARE(a.stats[Forward].min, lo);
        QCOMPARE(a.stats[Forward].max, hi);
        QVERIFY(qAbs(a.stats[Forward].mean() - sum / n) < 0.001);
    }
    QCOMPARE(folded, 200);

    // What the history window draws: columns in time order, every sample in one of them once.
    for (int columns : { 7, 50, 400 }) {
        const View view = loadView(sql, times.first(), times.last() + 1, columns, times.last());
        QCOMPARE(view.resolution, Resolution::Raw);
        qint64 counted = 0;
        for (qsizetype i = 0; i < view.columns.size(); ++i) {
            if (i > 0)
                QVERIFY(view.columns[i].time > view.columns[i - 1].time);
            QVERIFY(view.columns[i].first <= view.columns[i].last);
            counted += view.columns[i].count[Forward];
        }
        QCOMPARE(counted, 200);
    }
}

// A minute whose samples come in several batches (a commit every few seconds), with values that jump
// and fields that come and go: its row is the same as if all had come at once.
void TestHistoryRetention::mergesAcrossBatches()
{
    const QString file = m_dir.filePath(QStringLiteral("merge.sqlite"));
    QList<Sample> samples;
    for (int i = 0; i < 60; ++i) {
        Sample s;
        s.time = kStart + i * 1000;
        s.values[Forward] = i % 7 == 0 ? 1e9 : i % 5 == 0 ? -2.5 : 100 + i;
        if (i % 3 != 0)
            s.values[Voltage1] = 48 + i * 0.001;
        s.values[Reflected] = 1 + i % 4;
        s.computeSwr();
        samples << s;
    }
    Aggregate whole;
    whole.time = kStart;
    for (const Sample &s : samples)
        whole.add(s);
    {
        SampleRecorder recorder(file);
        for (int i = 0; i < samples.size(); ++i) {
            recorder.add(samples[i]);
            if (i % 4 == 3)
                QVERIFY(recorder.sync());
        }
        QVERIFY(recorder.sync());
    }
    HistoryDatabase db(file, HistoryDatabase::Mode::ReadOnly);
    QVERIFY(db.open());
    const QList<Aggregate> rows = folded(db.reader(), Resolution::Minute, kStart, kStart + 1);
    QCOMPARE(rows.size(), 1);
    const Aggregate &a = rows.first();
    QCOMPARE(a.samples, 60);
    QVERIFY(whole.stats[Swr].count > 0 && whole.stats[Swr].count < 60);
    for (int s : { int(Forward), int(Voltage1), int(Swr) }) {
        QCOMPARE(a.stats[s].count, whole.stats[s].count);
        QVERIFY2(qAbs(a.stats[s].min - whole.stats[s].min) < 0.0006, series()[s].csv);
        QVERIFY2(qAbs(a.stats[s].max - whole.stats[s].max) < 0.0006, series()[s].csv);
        QVERIFY2(qAbs(a.stats[s].mean() - whole.stats[s].mean()) < 0.002, series()[s].csv);
    }
    QCOMPARE(a.stats[Forward].max, 1e9);
    QCOMPARE(a.stats[Forward].min, -2.5);
}

// The event log is kept as long as the folded rows, two years, and pruned by the recorder's thread
// with them: a month of flapping two years ago goes, what is younger stays.
void TestHistoryRetention::eventsKeptAsLongAsFolded()
{
    const QString file = m_dir.filePath(QStringLiteral("events.sqlite"));
    const qint64 now = kStart + 800 * kDayMs;
    {
        HistoryDatabase db(file);
        EventLog log(db);
        qint64 clock = 0;
        log.setClock([&clock] { return QDateTime::fromMSecsSinceEpoch(clock, Qt::UTC); });
        for (int i = 0; i < 300; ++i) { // 300 events 800 days ago: more than one step deletes
            clock = kStart + i * 1000;
            QVERIFY(log.append(i % 2 ? QStringLiteral("alarm off") : QStringLiteral("alarm on"),
                QStringLiteral("SWR ALARM")));
        }
        clock = now - kFoldedKeepMs - 2 * kHourMs; // just before the cut
        QVERIFY(log.append(QStringLiteral("panel started")));
        clock = now - kFoldedKeepMs + kHourMs; // kept
        QVERIFY(log.append(QStringLiteral("panel closed")));
        clock = now - 1000;
        QVERIFY(log.append(QStringLiteral("alarm on"), QStringLiteral("SWR ALARM")));
    }
    {
        SampleRecorder recorder(file);
        recorder.add(sampleAt(800LL * 86400));
        QVERIFY(recorder.sync());
    }
    HistoryDatabase db(file, HistoryDatabase::Mode::ReadOnly);
    QVERIFY(db.open());
    const QList<LoggedEvent> left = EventLog(db).all();
    QCOMPARE(left.size(), 2);
    QCOMPARE(left[0].event, QStringLiteral("panel closed"));
    QCOMPARE(left[1].event, QStringLiteral("alarm on"));
}

void TestHistoryRetention::clockJumps_data()
{
    QTest::addColumn<qint64>("step");
    QTest::addColumn<qint64>("forMs"); // how long the clock stays wrong, on the steady clock
    QTest::newRow("a year ahead for two minutes") << 365 * kDayMs << 2 * kMinuteMs;
    QTest::newRow("a month ahead for two hours") << 30 * kDayMs << 2 * kHourMs;
    QTest::newRow("a day ahead for a minute, twice") << kDayMs << -kMinuteMs;
    QTest::newRow("a day back, for good") << -kDayMs << 10 * kDayMs;
}

// The wall clock stepped while recording, on simulated clocks (the wall one and the steady one):
// every row that retention keeps on the true clock is still there, the samples stamped by the
// wrong clock are kept too, once each.
void TestHistoryRetention::clockJumps()
{
    QFETCH(qint64, step);
    QFETCH(qint64, forMs);
    const QString file = m_dir.filePath(QStringLiteral("jump-%1.sqlite").arg(QTest::currentDataTag()));
    // Already in the file: an hour of samples a week old, and hour rows from 600 days ago, both
    // within what retention keeps.
    const qint64 now = kStart + 800 * kDayMs;
    QList<Sample> weekOld;
    for (qint64 t = 0; t < 3600; t += 10) {
        Sample s = sampleAt(t);
        s.time = now - 7 * kDayMs + t * 1000;
        weekOld << s;
    }
    QList<Aggregate> oldHours;
    for (int h = 0; h < 24; ++h) {
        Aggregate a;
        a.time = periodStart(now - 600 * kDayMs, kHourMs) + h * kHourMs;
        a.add(sampleAt(0));
        oldHours << a;
    }
    {
        HistoryDatabase db(file);
        QVERIFY(db.write([&](QSqlDatabase &sql) {
            if (QSqlError e = sample_store::append(sql, weekOld); e.isValid())
                return e;
            return sample_store::mergeFolded(sql, Resolution::Hour, oldHours);
        }));
    }
    const qint64 rawBefore = weekOld.size();

    // Three hours at one report a second; the clock steps at the 30th minute.
    std::atomic<qint64> steady { 0 };
    qint64 recorded = 0;
    {
        SampleRecorder recorder(file);
        recorder.setSteadyClock([&steady] { return steady.load(); });
        const auto wrongAt = [&](qint64 e) {
            const qint64 from = 30 * kMinuteMs;
            if (forMs < 0) // twice: at the 30th and the 90th minute
                return (e >= from && e < from - forMs) || (e >= 3 * from && e < 3 * from - forMs);
            return e >= from && e < from + forMs;
        };
        recorder.setClock([&] { return now + steady.load() + (wrongAt(steady.load()) ? step : 0); });
        report::Display display = report::Display::initial();
        for (qint64 e = 0; e < 3 * kHourMs; e += 1000) {
            steady = e;
            report::apply(QStringLiteral("Pfwd=%1W,").arg(e / 1000), display);
            recorder.record(display);
            ++recorded;
            if (e % (10 * kMinuteMs) == 0)
                QVERIFY(recorder.sync());
        }
        QVERIFY(recorder.sync());
        QCOMPARE(recorder.droppedCount(), 0);
    }
    HistoryDatabase db(file, HistoryDatabase::Mode::ReadOnly);
    QVERIFY(db.open());
    QSqlDatabase sql = db.reader();
    QCOMPARE(raw(sql, now - 8 * kDayMs, now - 6 * kDayMs).size(), rawBefore);
    QCOMPARE(sample_store::count(sql, Resolution::Raw), rawBefore + recorded);
    QCOMPARE(folded(sql, Resolution::Hour, now - 601 * kDayMs, now - 599 * kDayMs).size(), oldHours.size());
    QCOMPARE(folded(sql, Resolution::Minute, now - 8 * kDayMs, now - 6 * kDayMs).size(), 60);
    // Each recorded sample once, whatever its stamp.
    QList<double> forwards;
    for (const Sample &s : raw(sql, now - 2 * kDayMs, now + 400 * kDayMs))
        forwards << s.values[Forward];
    std::sort(forwards.begin(), forwards.end());
    QCOMPARE(forwards.size(), recorded);
    for (qsizetype i = 0; i < forwards.size(); ++i)
        QCOMPARE(forwards[i], double(i));
}

QTEST_GUILESS_MAIN(TestHistoryRetention)
#include "tst_history_retention.moc"
