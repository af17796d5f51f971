#include "history/history_view.h"

#include "history/event_log.h"

#include <QDateTime>
#include <QHash>
#include <QSqlError>
#include <QSqlQuery>
#include <algorithm>

namespace history {

namespace {

constexpr float kNoFloat = std::numeric_limits<float>::quiet_NaN();

ViewColumn emptyColumn(qint64 time, qint64 rowTime)
{
    ViewColumn c;
    c.time = time;
    c.first = c.last = rowTime;
    c.min.fill(kNoFloat);
    c.mean.fill(kNoFloat);
    c.max.fill(kNoFloat);
    return c;
}

// Collects rows into columns; rows come oldest first.
class Binner
{
public:
    Binner(View &view, int columns)
        : m_view(view)
    {
        const qint64 span = qMax<qint64>(1, view.to - view.from);
        view.columnMs = qMax<qint64>(1, (span + columns - 1) / qMax(1, columns));
    }

    ViewColumn &columnFor(qint64 time)
    {
        const qint64 start = m_view.from + (time - m_view.from) / m_view.columnMs * m_view.columnMs;
        if (m_view.columns.isEmpty() || m_view.columns.last().time != start) {
            // Rows of a clock set back come after later ones: their column is found, not appended.
            if (!m_view.columns.isEmpty() && start < m_view.columns.last().time) {
                auto at = std::lower_bound(m_view.columns.begin(), m_view.columns.end(), start,
                    [](const ViewColumn &c, qint64 t) { return c.time < t; });
                if (at != m_view.columns.end() && at->time == start)
                    return *at;
                return *m_view.columns.insert(at, emptyColumn(start, time));
            }
            m_view.columns.append(emptyColumn(start, time));
        }
        return m_view.columns.last();
    }

    void add(qint64 time, int series, double min, double mean, double max, qint64 count)
    {
        ViewColumn &c = columnFor(time);
        c.first = qMin(c.first, time);
        c.last = qMax(c.last, time);
        if (!hasValue(mean) || count <= 0)
            return;
        qint32 &n = c.count[series];
        if (n == 0) {
            c.min[series] = float(min);
            c.max[series] = float(max);
            c.mean[series] = float(mean);
        } else {
            c.min[series] = qMin(c.min[series], float(min));
            c.max[series] = qMax(c.max[series], float(max));
            c.mean[series] = float((double(c.mean[series]) * n + mean * double(count)) / double(n + count));
        }
        n = qint32(qMin<qint64>(std::numeric_limits<qint32>::max() / 2, n + count));
    }

    void touch(qint64 time)
    {
        ViewColumn &c = columnFor(time);
        c.first = qMin(c.first, time);
        c.last = qMax(c.last, time);
    }

private:
    View &m_view;
};

qint64 timeOf(const QString &text)
{
    return QDateTime::fromString(text, Qt::ISODateWithMs).toMSecsSinceEpoch();
}

} // namespace

int View::columnAt(qint64 time) const
{
    auto at = std::upper_bound(
        columns.begin(), columns.end(), time, [](qint64 t, const ViewColumn &c) { return t < c.time; });
    if (at == columns.begin())
        return -1;
    --at;
    if (time >= at->time + columnMs)
        return -1;
    return int(at - columns.begin());
}

Resolution resolutionFor(qint64 from, qint64 to, std::optional<qint64> oldestRaw)
{
    const qint64 span = to - from;
    if (span <= kRawViewMs && oldestRaw && *oldestRaw <= from)
        return Resolution::Raw;
    if (span <= kMinuteViewMs)
        return Resolution::Minute;
    return Resolution::Hour;
}

View loadView(const QSqlDatabase &db, qint64 from, qint64 to, int columns, qint64 now)
{
    View view;
    view.from = from;
    view.to = qMax(from + 1, to);
    if (!db.isOpen()) {
        view.ok = false;
        return view;
    }
    view.resolution = resolutionFor(from, to, sample_store::oldestRaw(db));
    const qint64 period = periodOf(view.resolution);
    // A row per period expected: one missing is a gap. Raw samples come about once a second.
    view.gapMs = view.resolution == Resolution::Raw ? kRawGapMs : period * 3 / 2;

    Binner binner(view, columns);
    if (view.resolution == Resolution::Raw) {
        view.ok = sample_store::readRaw(db, view.from, view.to, [&](const Sample &s) {
            ++view.rows;
            binner.touch(s.time);
            for (int i = 0; i < kSeriesCount; ++i) {
                if (hasValue(s.values[i]))
                    binner.add(s.time, i, s.values[i], s.values[i], s.values[i], 1);
            }
        });
    } else {
        view.ok = sample_store::readFolded(db, view.resolution, view.from, view.to, [&](const Aggregate &a) {
            ++view.rows;
            binner.touch(a.time);
            for (int i = 0; i < kSeriesCount; ++i) {
                const Aggregate::Stat &s = a.stats[i];
                if (s.count > 0)
                    binner.add(a.time, i, s.min, s.mean(), s.max, s.count);
            }
        });
    }
    bool alarmsOk = true;
    view.alarms = alarmPeriods(db, view.from, view.to, now, &alarmsOk);
    view.ok = view.ok && alarmsOk;
    return view;
}

namespace {

// The distinct details logged with `event`, one look-up in events_by_kind each (a few alarms),
// never a walk through the rows.
bool detailsOf(const QSqlDatabase &db, const QString &event, QStringList *details)
{
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.prepare(QStringLiteral("SELECT 1 FROM events WHERE event = ? AND detail = '' LIMIT 1")))
        return false;
    q.bindValue(0, event);
    if (!q.exec())
        return false;
    if (q.next())
        details->append(QString());
    if (!q.prepare(QStringLiteral("SELECT MIN(detail) FROM events WHERE event = ? AND detail > ?")))
        return false;
    QString after = QStringLiteral(""); // every other detail sorts after the empty one
    while (true) {
        q.bindValue(0, event);
        q.bindValue(1, after);
        if (!q.exec())
            return false;
        if (!q.next() || q.value(0).isNull())
            return true;
        after = q.value(0).toString();
        details->append(after);
        q.finish();
    }
}

// The latest (time, id) of `event` with `detail` before `before`; (-1, -1) when there is none.
struct Mark {
    QString time;
    qint64 id = -1;
    bool operator<(const Mark &o) const { return time < o.time || (time == o.time && id < o.id); }
};

bool latestBefore(
    const QSqlDatabase &db, const QString &event, const QString &detail, const QString &before, Mark *mark)
{
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.prepare(QStringLiteral("SELECT time, id FROM events WHERE event = ? AND detail = ? AND time < ? "
                                  "ORDER BY time DESC, id DESC LIMIT 1")))
        return false;
    q.bindValue(0, event);
    q.bindValue(1, detail);
    q.bindValue(2, before);
    if (!q.exec())
        return false;
    *mark = q.next() ? Mark { q.value(0).toString(), q.value(1).toLongLong() } : Mark {};
    return true;
}

} // namespace

QList<AlarmPeriod> alarmPeriods(const QSqlDatabase &db, qint64 from, qint64 to, qint64 now, bool *ok)
{
    QList<AlarmPeriod> periods;
    if (ok)
        *ok = false;
    const QString on = QStringLiteral("alarm on");
    const QString off = QStringLiteral("alarm off");
    const QStringList resets { QStringLiteral("panel started"), QStringLiteral("panel closed") };
    const QString fromText = EventLog::timeText(QDateTime::fromMSecsSinceEpoch(from, Qt::UTC));

    // The state at the span's start, from a few look-ups before it: an alarm is on when its latest
    // "alarm on" came after its latest "alarm off" and after the panel last started or closed (it
    // stopped watching then). Its period is cut at the span's start anyway.
    Mark reset;
    for (const QString &event : resets) {
        QStringList details;
        if (!detailsOf(db, event, &details))
            return periods;
        for (const QString &detail : details) {
            Mark m;
            if (!latestBefore(db, event, detail, fromText, &m))
                return periods;
            if (reset < m)
                reset = m;
        }
    }
    QStringList alarms;
    if (!detailsOf(db, on, &alarms))
        return periods;
    QHash<QString, qint64> since; // caption -> since
    for (const QString &alarm : alarms) {
        Mark lastOn;
        Mark lastOff;
        if (!latestBefore(db, on, alarm, fromText, &lastOn)
            || !latestBefore(db, off, alarm, fromText, &lastOff))
            return periods;
        if (lastOn.id >= 0 && lastOff < lastOn && reset < lastOn)
            since.insert(alarm, from);
    }

    // Then the span's own events, in time order, through events_by_time (the "+" keeps SQLite
    // from taking the kind's index, which would walk every alarm event of the file).
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.prepare(QStringLiteral("SELECT time, event, detail FROM events WHERE time >= ? AND time < ? AND "
                                  "+event IN ('alarm on', 'alarm off', 'panel started', 'panel closed') "
                                  "ORDER BY time, id")))
        return periods;
    q.bindValue(0, fromText);
    q.bindValue(1, EventLog::timeText(QDateTime::fromMSecsSinceEpoch(to, Qt::UTC)));
    if (!q.exec())
        return periods;
    auto close = [&](const QString &caption, qint64 start, qint64 end, bool open) {
        if (end > from && start < to)
            periods.append({ caption, qMax(start, from), qMin(end, to), open });
    };
    while (q.next()) {
        const qint64 time = timeOf(q.value(0).toString());
        const QString event = q.value(1).toString();
        const QString detail = q.value(2).toString();
        if (event == on) {
            if (!since.contains(detail))
                since.insert(detail, time);
        } else if (event == off) {
            if (since.contains(detail))
                close(detail, since.take(detail), time, false);
        } else {
            // The panel stopped or started watching: what was on is no longer known.
            for (auto it = since.cbegin(); it != since.cend(); ++it)
                close(it.key(), it.value(), time, false);
            since.clear();
        }
    }
    if (q.lastError().isValid())
        return periods;
    for (auto it = since.cbegin(); it != since.cend(); ++it)
        close(it.key(), it.value(), qMax(it.value(), qMin(now, to)), true);
    std::sort(periods.begin(), periods.end(),
        [](const AlarmPeriod &a, const AlarmPeriod &b) { return a.from < b.from; });
    if (ok)
        *ok = true;
    return periods;
}

} // namespace history
