#pragma once

#include "history/sample.h"

#include <QList>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <functional>

// The samples' tables in the history file, in the manner of a round-robin database: every sample
// at full rate for kRawKeepMs, and the same samples folded per minute and per hour (minimum, mean
// and maximum of each number) for kFoldedKeepMs. A sample goes into its minute and its hour in the
// same transaction that stores it, so the folded rows are never behind and never count a sample
// twice; retention then only deletes. These functions run inside whatever transaction the caller
// holds (HistoryDatabase::write), and never wait for anything.
namespace history {

enum class Resolution { Raw, Minute, Hour };

constexpr qint64 kMinuteMs = 60 * 1000;
constexpr qint64 kHourMs = 60 * kMinuteMs;
constexpr qint64 kDayMs = 24 * kHourMs;
constexpr qint64 kRawKeepMs = 8 * kDayMs;
constexpr qint64 kFoldedKeepMs = 730 * kDayMs;

// The length of a folded period (0 for raw samples), and the table that holds a resolution.
qint64 periodOf(Resolution resolution);
QString tableOf(Resolution resolution);
// The start of the period `time` falls in (floor, also before 1970).
qint64 periodStart(qint64 time, qint64 period);

// The numbers of the samples of one period: minimum, mean, maximum of each, how many had it.
struct Aggregate {
    struct Stat {
        double min = kNoValue;
        double max = kNoValue;
        double average = kNoValue;
        qint64 count = 0;

        double mean() const { return count > 0 ? average : kNoValue; }
        void add(double v);
        void merge(const Stat &o);
    };

    qint64 time = 0; // the period's start
    qint64 samples = 0;
    std::array<Stat, kSeriesCount> stats {};
    int alarmBits = -1; // the codes that read as alarm codes, or-ed: every alarm on in the period
    QString alarmText; // the last code text, for a period where none read as one
    QString uptime; // the last received
    QString firmware;

    void add(const Sample &s);
    // Takes in `newer` (the later samples of the same period).
    void merge(const Aggregate &newer);
    // The period's alarm code: every alarm on in it as a two-digit code, or the last text
    // received when no code read as one; null when no sample carried one.
    QString alarmCode() const;
};

namespace sample_store {

// Stores `samples` as raw rows and adds each to its minute and its hour (texts cut to
// kMaxTextLength).
QSqlError append(const QSqlDatabase &db, const QList<Sample> &samples);
// Adds `aggregates` (whole periods of `resolution`, Minute or Hour) to the folded rows; a period
// that has a row already is merged with it. For filling a history file without its raw samples.
QSqlError mergeFolded(const QSqlDatabase &db, Resolution resolution, const QList<Aggregate> &aggregates);

// Retention at `now`: deletes at most `rawLimit` raw samples older than kRawKeepMs and at most
// `foldedLimit` folded rows older than kFoldedKeepMs (the cut at a whole minute and a whole hour),
// the oldest first. `rawRemoved` and `foldedRemoved` count them.
QSqlError prune(
    const QSqlDatabase &db, qint64 now, int rawLimit, int foldedLimit, int *rawRemoved, int *foldedRemoved);

// The time of the oldest raw sample, or nothing when there is none (or it could not be read).
std::optional<qint64> oldestRaw(const QSqlDatabase &db);
qint64 count(const QSqlDatabase &db, Resolution resolution); // -1 when it cannot be read

// Reading, oldest first (same times in the order of arrival). `from` included, `to` not. False
// when the file could not be read (the rows read until then were handed on).
bool readRaw(const QSqlDatabase &db, qint64 from, qint64 to, const std::function<void(const Sample &)> &row);
bool readFolded(const QSqlDatabase &db, Resolution resolution, qint64 from, qint64 to,
    const std::function<void(const Aggregate &)> &row);

// For readers that walk the rows themselves: the SELECT of each table's rows (add the WHERE and
// ORDER BY) and a row of it as a sample or an aggregate.
QString rawSelect();
QString foldedSelect(Resolution resolution);
Sample rawRow(const QSqlQuery &query);
Aggregate foldedRow(const QSqlQuery &query);

} // namespace sample_store

} // namespace history
