#include "history/event_log.h"

#include "history/csv.h"
#include "history/history_database.h"
#include "history/sample_store.h"

#include <QFileInfo>
#include <QIODevice>
#include <QSqlError>
#include <QSqlQuery>
#include <QTextStream>

EventLog::EventLog(HistoryDatabase &database, QObject *parent)
    : QObject(parent)
    , m_database(database)
    , m_clock([] { return QDateTime::currentDateTimeUtc(); })
{
    connect(&m_database, &HistoryDatabase::retryDue, this, [this] {
        if (!m_waiting.isEmpty())
            flush();
    });
}

QString EventLog::timeText(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

bool EventLog::append(const QString &event, const QString &detail)
{
    m_waiting.append({ m_clock().toUTC(), event, detail });
    if (m_waiting.size() > kMaxWaiting) {
        m_waiting.removeFirst();
        ++m_dropped;
    }
    return flush();
}

bool EventLog::flush()
{
    const QList<LoggedEvent> batch = m_waiting;
    const bool written = m_database.write([&batch](QSqlDatabase &db) -> QSqlError {
        QSqlQuery insert(db);
        if (!insert.prepare(QStringLiteral("INSERT INTO events (time, event, detail) VALUES (?, ?, ?)")))
            return insert.lastError();
        // A null QString would be bound as NULL.
        auto text = [](const QString &s) { return s.isNull() ? QStringLiteral("") : s; };
        for (const LoggedEvent &e : batch) {
            insert.bindValue(0, timeText(e.time));
            insert.bindValue(1, text(e.event));
            insert.bindValue(2, text(e.detail));
            if (!insert.exec())
                return insert.lastError();
        }
        return {};
    });
    if (!written)
        return false;
    m_waiting.clear();
    for (const LoggedEvent &e : batch)
        emit appended(e);
    return true;
}

QList<LoggedEvent> EventLog::select(const QString &sql, const QStringList &binds) const
{
    QSqlDatabase db = m_database.reader();
    if (!db.isOpen())
        return {};
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.prepare(sql))
        return {};
    for (int i = 0; i < binds.size(); ++i)
        query.bindValue(i, binds[i]);
    QList<LoggedEvent> events;
    if (!query.exec())
        return events;
    while (query.next()) {
        events.append({ QDateTime::fromString(query.value(0).toString(), Qt::ISODateWithMs).toUTC(),
            query.value(1).toString(), query.value(2).toString() });
    }
    return events;
}

QList<LoggedEvent> EventLog::all() const
{
    return select(QStringLiteral("SELECT time, event, detail FROM events ORDER BY id"), {});
}

QList<LoggedEvent> EventLog::newestFirst(const QStringList &events, int limit) const
{
    QString sql = QStringLiteral("SELECT time, event, detail FROM events");
    if (!events.isEmpty()) {
        QStringList marks;
        for (int i = 0; i < events.size(); ++i)
            marks << QStringLiteral("?");
        sql += QStringLiteral(" WHERE event IN (%1)").arg(marks.join(u','));
    }
    // SQLite reads a negative limit as none.
    sql += QStringLiteral(" ORDER BY id DESC LIMIT %1").arg(limit < 0 ? -1 : limit);
    return select(sql, events);
}

QStringList EventLog::eventKinds() const
{
    QSqlDatabase db = m_database.reader();
    if (!db.isOpen())
        return {};
    // One look-up in the kind's index per kind (a dozen), not a walk through every row.
    QSqlQuery query(db);
    query.setForwardOnly(true);
    QStringList kinds;
    if (!query.prepare(QStringLiteral("SELECT MIN(event) FROM events WHERE event > ?")))
        return kinds;
    QString after = QStringLiteral("");
    if (QSqlQuery empty(db);
        empty.exec(QStringLiteral("SELECT 1 FROM events WHERE event = '' LIMIT 1")) && empty.next())
        kinds << QString();
    while (true) {
        query.bindValue(0, after);
        if (!query.exec() || !query.next() || query.value(0).isNull())
            break;
        after = query.value(0).toString();
        kinds << after;
        query.finish();
    }
    return kinds;
}

QSqlError EventLog::prune(const QSqlDatabase &db, qint64 now, int limit, int *removed)
{
    *removed = 0;
    const qint64 cut = history::periodStart(now - history::kFoldedKeepMs, history::kHourMs);
    const QString cutText = timeText(QDateTime::fromMSecsSinceEpoch(cut, Qt::UTC));
    QSqlQuery q(db);
    // The oldest first, through events_by_time: a look-up when nothing is due.
    if (!q.prepare(QStringLiteral(
            "DELETE FROM events WHERE id IN (SELECT id FROM events WHERE time < ? ORDER BY time LIMIT ?)")))
        return q.lastError();
    q.bindValue(0, cutText);
    q.bindValue(1, limit);
    if (!q.exec())
        return q.lastError();
    *removed = q.numRowsAffected();
    return {};
}

bool EventLog::writeCsv(QTextStream &out) const
{
    out << kCsvHeader << csv::kLineEnd;
    QSqlDatabase db = m_database.reader();
    if (!db.isOpen()) {
        out.flush();
        return !QFileInfo::exists(m_database.path());
    }
    bool ok = true;
    {
        QSqlQuery query(db);
        query.setForwardOnly(true);
        if (query.exec(QStringLiteral("SELECT time, event, detail FROM events ORDER BY id"))) {
            while (query.next())
                csv::writeRow(out,
                    { query.value(0).toString(), csv::text(query.value(1).toString()),
                        csv::text(query.value(2).toString()) });
            ok = !query.lastError().isValid();
        } else {
            ok = false;
        }
    }
    // A file that a killed panel left before its tables were made holds no events.
    if (!ok)
        ok = m_database.schemaVersion() == 0;
    out.flush();
    return ok && out.status() == QTextStream::Ok;
}

bool EventLog::writeCsv(QIODevice &device) const
{
    QTextStream out(&device);
    out.setEncoding(QStringConverter::Utf8);
    return writeCsv(out);
}
