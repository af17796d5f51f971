#include "history/schema.h"

namespace history_schema {

namespace {

// A table of folded samples as step 2 made it: one row per period (its start as the key), the
// minimum, mean and maximum of each number in thousandths (an integer where it fits, else a real),
// and how many samples had that number when not all of them had.
QString foldedTable(const char *name)
{
    static const char *const numbers[]
        = { "forward", "reflected", "swr", "psu_temp", "amp_temp", "current1", "current2", "current3",
              "current4", "voltage1", "voltage2", "voltage3", "voltage4", "power_limit", "rf_drive" };
    QString sql = QStringLiteral("CREATE TABLE %1 (time INTEGER PRIMARY KEY, samples INTEGER NOT NULL")
                      .arg(QLatin1String(name));
    for (const char *n : numbers) {
        sql += QStringLiteral(", %1_min INTEGER, %1_mean INTEGER, %1_max INTEGER, %1_n INTEGER")
                   .arg(QLatin1String(n));
    }
    return sql + QStringLiteral(", alarm_code TEXT, uptime TEXT, firmware TEXT)");
}

} // namespace

const QList<Step> &steps()
{
    static const QList<Step> all {
        // The event log: one row per event, in the order they happened (the row id). Times are UTC,
        // ISO 8601 with milliseconds and a "Z", so that text order is time order.
        { 1,
            {
                QStringLiteral("CREATE TABLE events ("
                               "id INTEGER PRIMARY KEY, "
                               "time TEXT NOT NULL, "
                               "event TEXT NOT NULL, "
                               "detail TEXT NOT NULL DEFAULT '')"),
                QStringLiteral("CREATE INDEX events_by_event ON events (event)"),
                QStringLiteral("CREATE INDEX events_by_time ON events (time)"),
            } },
        // The samples: one row per applied report (kept for days), with its time in milliseconds
        // since 1970 UTC, its numbers (NULL where the report had none) and its texts as they came
        // (NULL where the report did not carry the field). The row id is the order of arrival, so
        // a clock set back neither merges nor drops rows. Beside them the same samples folded per
        // minute and per hour (kept for years).
        { 2,
            {
                QStringLiteral("CREATE TABLE samples ("
                               "id INTEGER PRIMARY KEY, "
                               "time INTEGER NOT NULL, "
                               "forward REAL, reflected REAL, psu_temp REAL, amp_temp REAL, "
                               "current1 REAL, current2 REAL, current3 REAL, current4 REAL, "
                               "voltage1 REAL, voltage2 REAL, voltage3 REAL, voltage4 REAL, "
                               "power_limit REAL, rf_drive INTEGER, "
                               "alarm_code TEXT, uptime TEXT, firmware TEXT)"),
                QStringLiteral("CREATE INDEX samples_by_time ON samples (time)"),
                foldedTable("samples_1min"),
                foldedTable("samples_1h"),
            } },
        // The event log by kind, alarm and time: the latest "alarm on" or "alarm off" of an alarm
        // before a time is one look-up, whatever the log holds before it.
        { 3,
            {
                QStringLiteral("CREATE INDEX events_by_kind ON events (event, detail, time)"),
            } },
    };
    return all;
}

int latestVersion()
{
    return steps().isEmpty() ? 0 : steps().last().version;
}

} // namespace history_schema
