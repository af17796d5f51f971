#pragma once

#include <QSqlDatabase>
#include <QString>
#include <limits>

class HistoryDatabase;
class QIODevice;
class QTextStream;

// The recorded samples as CSV, for `--export-csv` and the history window: one row per raw sample
// where the file still has them, one per minute ("1min", its numbers the minute's means) where only
// the folded rows are left; oldest first. Times are UTC, ISO 8601 with milliseconds and a "Z";
// numbers have a point, as few digits as give the stored value back, and an empty cell where there
// is no value; texts as received (as csv::text() makes them safe for a spreadsheet), with RFC 4180
// quoting; rows end with LF.
namespace history {

constexpr const char *kSamplesCsvHeader
    = "time,forward_W,reflected_W,swr,psu_temp_C,amp_temp_C,current1_A,current2_A,current3_A,current4_A,"
      "voltage1_V,voltage2_V,voltage3_V,voltage4_V,power_limit_W,rf_drive,alarm_code,uptime,firmware,"
      "resolution";

constexpr qint64 kEarliest = std::numeric_limits<qint64>::min();
constexpr qint64 kLatest = std::numeric_limits<qint64>::max();

// "2024-05-01T10:00:01.250Z"
QString csvTime(qint64 msSinceEpoch);
// "12.5", "500", "" for no value.
QString csvNumber(double value);

// The samples whose time (a folded row's: its minute's start) is in [from, to). `rows` counts the
// rows written. False when the file could not be read or the output not written; a history file
// that has no samples table yet (or does not exist) gives the header alone.
bool writeSamplesCsv(const QSqlDatabase &db, QTextStream &out, qint64 from = kEarliest, qint64 to = kLatest,
    qint64 *rows = nullptr);
bool writeSamplesCsv(HistoryDatabase &database, QIODevice &device, qint64 from = kEarliest,
    qint64 to = kLatest, qint64 *rows = nullptr);

} // namespace history
