#pragma once

#include <QDateTime>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QSqlDatabase>
#include <QSqlError>
#include <QString>
#include <QStringList>
#include <functional>

class HistoryDatabase;
class QIODevice;
class QTextStream;

// One row of the event log.
struct LoggedEvent {
    QDateTime time; // UTC, to the millisecond
    QString event; // "alarm on", "link lost", ...
    QString detail; // "SWR ALARM", the device, ...

    bool operator==(const LoggedEvent &o) const
    {
        return time == o.time && event == o.event && detail == o.detail;
    }
};
Q_DECLARE_METATYPE(LoggedEvent)

// The log of what happened to the transmitter and what the operator did, in the history file. Each
// event is committed when it is appended (events are rare), so a reader at any moment, also in
// another process, sees every event up to then. While the file cannot be written, events wait in
// memory (the newest kMaxWaiting) and go in with their own times at the next write or retry.
class EventLog : public QObject
{
    Q_OBJECT
public:
    using Clock = std::function<QDateTime()>;
    static constexpr int kMaxWaiting = 1000;
    // The CSV's first line, without its line end.
    static constexpr const char *kCsvHeader = "time,event,detail";

    explicit EventLog(HistoryDatabase &database, QObject *parent = nullptr);

    // Where the times come from (UTC now by default).
    void setClock(Clock clock) { m_clock = std::move(clock); }

    // Logs `event` with `detail` at the clock's time. True when it is in the file; false when it is
    // waiting for the file to work again.
    bool append(const QString &event, const QString &detail = {});
    int waitingCount() const { return int(m_waiting.size()); }
    // Events dropped because more than kMaxWaiting were waiting.
    int droppedCount() const { return m_dropped; }

    // Every event, oldest first.
    QList<LoggedEvent> all() const;
    // The newest first, only those whose event text is in `events` (all when empty), at most
    // `limit` (all when negative).
    QList<LoggedEvent> newestFirst(const QStringList &events = {}, int limit = -1) const;
    // The distinct event texts in the log, sorted.
    QStringList eventKinds() const;

    // The whole log as CSV: the header, then one row per event, oldest first (RFC 4180 quoting,
    // rows ending with LF as csv::kLineEnd; texts as csv::text() makes them).
    // False when the file exists but could not be read; a log that does not exist yet gives the
    // header alone.
    bool writeCsv(QTextStream &out) const;
    bool writeCsv(QIODevice &device) const;

    // Retention, run on the recorder's thread inside its transaction: deletes at most `limit`
    // events older than the folded samples are kept (kFoldedKeepMs before `now`, cut at a whole
    // hour), the oldest first; `removed` counts them.
    static QSqlError prune(const QSqlDatabase &db, qint64 now, int limit, int *removed);

    // UTC, ISO 8601 with milliseconds and a "Z", as stored: "2024-05-01T10:00:01.250Z".
    static QString timeText(const QDateTime &time);

signals:
    // An event reached the file (also one that had been waiting).
    void appended(const LoggedEvent &event);

private:
    bool flush();
    QList<LoggedEvent> select(const QString &sql, const QStringList &binds) const;

    HistoryDatabase &m_database;
    Clock m_clock;
    QList<LoggedEvent> m_waiting;
    int m_dropped = 0;
};
