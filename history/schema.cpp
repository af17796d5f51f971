#include "history/schema.h"

namespace history_schema {

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
    };
    return all;
}

int latestVersion()
{
    return steps().isEmpty() ? 0 : steps().last().version;
}

} // namespace history_schema
