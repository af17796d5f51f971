#pragma once

#include "history/sample_store.h"

#include <QList>
#include <QSqlDatabase>
#include <QString>
#include <array>

// What the history window draws for a span of time, read and reduced in the core: the span cut
// into columns (one per pixel), each holding the minimum, mean and maximum of every number over the
// samples that fall in it, from the finest rows that keep the read small (raw samples for a few
// hours, minutes for days, hours for months). Where no report came for longer than a row's period
// allows, the line is broken; and the alarm periods of the event log lie beside it.
namespace history {

struct ViewColumn {
    qint64 time = 0; // the column's start
    qint64 first = 0; // the time of the first and last row in it
    qint64 last = 0;
    std::array<float, kSeriesCount> min;
    std::array<float, kSeriesCount> mean;
    std::array<float, kSeriesCount> max;
    std::array<qint32, kSeriesCount> count {}; // samples with the number (0: no value here)
};

struct AlarmPeriod {
    QString caption; // as logged: "SWR ALARM", ...
    qint64 from = 0;
    qint64 to = 0;
    bool open = false; // no end logged yet: it lasts to the span's end
};

struct View {
    qint64 from = 0;
    qint64 to = 0;
    Resolution resolution = Resolution::Raw;
    qint64 columnMs = 1; // the width of a column
    qint64 gapMs = 0; // longer than this between two rows is a gap
    QList<ViewColumn> columns; // the columns that have rows, oldest first
    QList<AlarmPeriod> alarms;
    qint64 rows = 0; // rows read
    bool ok = true; // false when the file could not be read

    // Whether the line of `series` runs on from columns[i] to columns[i + 1]. (Inline: the charts'
    // module draws with it and links nothing of the panel's own.)
    bool joined(int i, int series) const
    {
        if (i < 0 || i + 1 >= columns.size())
            return false;
        const ViewColumn &a = columns[i];
        const ViewColumn &b = columns[i + 1];
        return a.count[series] > 0 && b.count[series] > 0 && b.first - a.last <= gapMs;
    }
    // The column under `time`, or -1 where there is none.
    int columnAt(qint64 time) const;
};

// The resolution a span is read at: raw samples for up to kRawViewMs when the file still has
// them all for it (`oldestRaw`), minutes for up to kMinuteViewMs, else hours.
constexpr qint64 kRawViewMs = 4 * kHourMs;
constexpr qint64 kMinuteViewMs = 10 * kDayMs;
constexpr qint64 kRawGapMs = 10 * 1000; // a second's report missing ten times over
Resolution resolutionFor(qint64 from, qint64 to, std::optional<qint64> oldestRaw);

// Reads [from, to) into at most `columns` columns; `now` ends the alarm periods still open.
View loadView(const QSqlDatabase &db, qint64 from, qint64 to, int columns, qint64 now);

// The alarm periods of the event log that overlap [from, to): from each "alarm on" to the "alarm
// off" of the same alarm, or to the panel's next start or close (it stopped watching then), or to
// `now` while it lasts. It reads the span's events and a few look-ups before it (the state at its
// start, through events_by_kind), never the log from its first row: a month of an alarm flapping
// costs the last hour nothing.
QList<AlarmPeriod> alarmPeriods(
    const QSqlDatabase &db, qint64 from, qint64 to, qint64 now, bool *ok = nullptr);

} // namespace history
