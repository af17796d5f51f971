// The event log in a real SQLite file: where the file goes, its tables and write-ahead log, events
// read back oldest first, newest first and by kind, UTC times with milliseconds, the CSV with its
// quoting, and a second reader (as `--events` is, in another process) that neither creates
// anything nor waits for the writer, nor makes it wait.
#include "history/csv.h"
#include "history/event_log.h"
#include "history/history_database.h"
#include "history/history_view.h"
#include "history/schema.h"
#include "support/test_env.h"

#include <QBuffer>
#include <QSignalSpy>
#include <QSqlDriver>
#include <QSqlQuery>
#include <QtTest>

#include <sqlite3.h>

namespace {

QDateTime utc(const char *iso)
{
    return QDateTime::fromString(QString::fromLatin1(iso), Qt::ISODateWithMs);
}

// A clock that hands out the given times one after the other.
EventLog::Clock clockOf(QList<QDateTime> times)
{
    auto queue = std::make_shared<QList<QDateTime>>(std::move(times));
    return [queue] { return queue->isEmpty() ? QDateTime() : queue->takeFirst(); };
}

QByteArray csvOf(const EventLog &log, bool *ok = nullptr)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    const bool written = log.writeCsv(buffer);
    if (ok)
        *ok = written;
    return buffer.data();
}

} // namespace

class TestHistoryEvents : public QObject
{
    Q_OBJECT
private:
    QString path(const QString &name = QStringLiteral("history.sqlite")) const
    {
        return m_dir.filePath(QStringLiteral("%1/%2").arg(QTest::currentTestFunction(), name));
    }

    TestStoreHome m_home;
    QTemporaryDir m_dir;

private slots:
    void defaultPathFollowsXdg();
    void tablesAndLog();
    void laterSchemaStillLogs();
    void readBack();
    void timesInUtcWithMilliseconds();
    void csvQuoting_data();
    void csvQuoting();
    void readerBesideWriter();
    void readerOfMissingFile();
    void alarmPeriodsReadOnlyTheSpan();
    void openingChecksNothingForTheWindow();
};

void TestHistoryEvents::defaultPathFollowsXdg()
{
    const QString suffix = QStringLiteral("/ZTK Electronics/ValtronaAmp+/history.sqlite");
    QCOMPARE(HistoryDatabase::defaultPath(), m_home.dataHome() + suffix);
    {
        HistoryDatabase db;
        EventLog log(db);
        QVERIFY2(log.append(QStringLiteral("panel started")), qPrintable(db.lastError()));
    }
    QVERIFY(QFileInfo(m_home.dataHome() + suffix).isFile());

    // Unset: under the home folder.
    const QByteArray data = qgetenv("XDG_DATA_HOME");
    qunsetenv("XDG_DATA_HOME");
    const QString fallback = HistoryDatabase::defaultPath();
    qputenv("XDG_DATA_HOME", data);
    QCOMPARE(fallback, qEnvironmentVariable("HOME") + QStringLiteral("/.local/share") + suffix);
}

void TestHistoryEvents::tablesAndLog()
{
    HistoryDatabase db(path());
    QVERIFY(db.open());
    QCOMPARE(db.schemaVersion(), history_schema::latestVersion());
    QVERIFY(history_schema::latestVersion() >= 1);
    QSqlQuery query(db.reader());
    QVERIFY(query.exec(QStringLiteral("PRAGMA journal_mode")) && query.next());
    QCOMPARE(query.value(0).toString(), QStringLiteral("wal"));
    QVERIFY(query.exec(QStringLiteral("SELECT name FROM pragma_table_info('events') ORDER BY cid")));
    QStringList columns;
    while (query.next())
        columns << query.value(0).toString();
    QCOMPARE(columns, (QStringList { "id", "time", "event", "detail" }));
}

void TestHistoryEvents::laterSchemaStillLogs()
{
    // A file a later panel has been through: more tables, a higher version. This one keeps logging
    // and leaves the version alone.
    {
        HistoryDatabase db(path());
        QVERIFY(db.open());
        QVERIFY(db.write([](QSqlDatabase &sql) -> QSqlError {
            QSqlQuery q(sql);
            if (!q.exec(QStringLiteral("CREATE TABLE later (x INTEGER)")))
                return q.lastError();
            return q.exec(QStringLiteral("PRAGMA user_version = 99")) ? QSqlError() : q.lastError();
        }));
    }
    HistoryDatabase db(path());
    QSignalSpy problems(&db, &HistoryDatabase::writeProblem);
    QSignalSpy moved(&db, &HistoryDatabase::movedAside);
    QVERIFY(db.open());
    EventLog log(db);
    QVERIFY(log.append(QStringLiteral("panel started")));
    QCOMPARE(db.schemaVersion(), 99);
    QCOMPARE(log.all().size(), 1);
    QCOMPARE(problems.count() + moved.count(), 0);
}

void TestHistoryEvents::readBack()
{
    HistoryDatabase db(path());
    EventLog log(db);
    const QList<LoggedEvent> events {
        { utc("2024-05-01T10:00:00.000Z"), "panel started", "" },
        { utc("2024-05-01T10:00:01.250Z"), "alarm on", "SWR ALARM" },
        { utc("2024-05-01T10:00:02.500Z"), "link lost", "/dev/ttyUSB0" },
        { utc("2024-05-01T10:00:03.750Z"), "alarm off", "SWR ALARM" },
        { utc("2024-05-01T10:00:04.999Z"), "alarm on", "RF OVERDRIVE ALARM" },
    };
    QList<QDateTime> times;
    for (const LoggedEvent &e : events)
        times << e.time;
    log.setClock(clockOf(times));
    QSignalSpy appended(&log, &EventLog::appended);
    for (const LoggedEvent &e : events)
        QVERIFY(log.append(e.event, e.detail));
    QCOMPARE(appended.count(), events.size());
    QCOMPARE(appended.at(1).first().value<LoggedEvent>(), events[1]);

    QCOMPARE(log.all(), events);
    QList<LoggedEvent> reversed(events.rbegin(), events.rend());
    QCOMPARE(log.newestFirst(), reversed);
    QCOMPARE(log.newestFirst({}, 2), reversed.mid(0, 2));
    QCOMPARE(log.newestFirst({ "alarm on" }), (QList<LoggedEvent> { events[4], events[1] }));
    QCOMPARE(log.newestFirst({ "alarm on", "alarm off" }, 2), (QList<LoggedEvent> { events[4], events[3] }));
    QCOMPARE(log.newestFirst({ "reports stopped" }), QList<LoggedEvent>());
    QCOMPARE(log.eventKinds(), (QStringList { "alarm off", "alarm on", "link lost", "panel started" }));
}

void TestHistoryEvents::timesInUtcWithMilliseconds()
{
    HistoryDatabase db(path());
    EventLog log(db);
    // Given with an offset and in local time: stored as UTC.
    log.setClock(clockOf({ QDateTime::fromString("2024-05-01T12:00:01.005+02:00", Qt::ISODateWithMs),
        QDateTime(QDate(2024, 12, 31), QTime(23, 59, 59, 999), Qt::UTC).toLocalTime() }));
    QVERIFY(log.append(QStringLiteral("alarm on"), QStringLiteral("SWR ALARM")));
    QVERIFY(log.append(QStringLiteral("alarm off"), QStringLiteral("SWR ALARM")));
    QCOMPARE(csvOf(log),
        QByteArray("time,event,detail\n"
                   "2024-05-01T10:00:01.005Z,alarm on,SWR ALARM\n"
                   "2024-12-31T23:59:59.999Z,alarm off,SWR ALARM\n"));
    QCOMPARE(log.all().first().time.timeSpec(), Qt::UTC);
}

void TestHistoryEvents::csvQuoting_data()
{
    QTest::addColumn<QString>("detail");
    QTest::addColumn<QByteArray>("field");
    QTest::newRow("plain") << "SWR ALARM" << QByteArray("SWR ALARM");
    QTest::newRow("empty") << "" << QByteArray("");
    QTest::newRow("comma") << "TXPower=80, SWRAlarm=7" << QByteArray("\"TXPower=80, SWRAlarm=7\"");
    QTest::newRow("quote") << "LOGO \"ON AIR\"" << QByteArray("\"LOGO \"\"ON AIR\"\"\"");
    QTest::newRow("only a quote") << "\"" << QByteArray("\"\"\"\"");
    QTest::newRow("line feed") << "line 1\nline 2" << QByteArray("\"line 1\nline 2\"");
    QTest::newRow("carriage return") << "a\rb" << QByteArray("\"a\rb\"");
    QTest::newRow("blanks kept") << "  PSU T  ALARM " << QByteArray("  PSU T  ALARM ");
    QTest::newRow("semicolon and tab") << "a;b\tc" << QByteArray("a;b\tc");
    QTest::newRow("non-ASCII, UTF-8")
        << QStringLiteral("Sender Zürich – 30 °C") << QStringLiteral("Sender Zürich – 30 °C").toUtf8();
}

void TestHistoryEvents::csvQuoting()
{
    QFETCH(QString, detail);
    QFETCH(QByteArray, field);
    QCOMPARE(csv::field(detail).toUtf8(), field);

    HistoryDatabase db(path(QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'-') + ".sqlite"));
    EventLog log(db);
    log.setClock(clockOf({ utc("2024-05-01T10:00:00.000Z"), utc("2024-05-01T10:00:01.000Z") }));
    QVERIFY(log.append(QStringLiteral("settings downloaded"), detail));
    QVERIFY(log.append(QStringLiteral("panel closed")));
    bool ok = false;
    QCOMPARE(csvOf(log, &ok),
        "time,event,detail\n2024-05-01T10:00:00.000Z,settings downloaded," + field
            + "\n2024-05-01T10:00:01.000Z,panel closed,\n");
    QVERIFY(ok);
    QCOMPARE(log.all().first().detail, detail);
}

void TestHistoryEvents::readerBesideWriter()
{
    HistoryDatabase writer(path());
    EventLog written(writer);
    QVERIFY(written.append(QStringLiteral("panel started")));

    HistoryDatabase reader(path(), HistoryDatabase::Mode::ReadOnly);
    EventLog read(reader);
    QCOMPARE(read.all().size(), 1);
    // Committed at once: the reader sees each event as soon as append returns.
    QVERIFY(written.append(QStringLiteral("alarm on"), QStringLiteral("SWR ALARM")));
    QCOMPARE(read.all().size(), 2);
    QVERIFY(!read.append(QStringLiteral("never"))); // the reader never writes
    QCOMPARE(written.all().size(), 2);

    // A reader in the middle of its query does not hold the writer up (the writer would give up
    // after its short busy timeout).
    {
        QSqlQuery open(reader.reader());
        open.setForwardOnly(true);
        QVERIFY(open.exec(QStringLiteral("SELECT event FROM events ORDER BY id")) && open.next());
        QVERIFY(written.append(QStringLiteral("alarm off"), QStringLiteral("SWR ALARM")));
        QVERIFY(open.next());
    }
    // Nor does a writer in the middle of a transaction hold the reader up: it reads what is
    // committed.
    {
        QSqlDatabase other
            = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("other-writer"));
        other.setDatabaseName(path());
        QVERIFY(other.open());
        QSqlQuery q(other);
        QVERIFY(q.exec(QStringLiteral("BEGIN IMMEDIATE")));
        QVERIFY(q.exec(
            QStringLiteral("INSERT INTO events (time, event, detail) VALUES ('x', 'uncommitted', '')")));
        // A reader that had to wait for the lock would give up after its busy timeout with nothing.
        QCOMPARE(read.all().size(), 3);
        QVERIFY(q.exec(QStringLiteral("ROLLBACK")));
        q.finish();
        other.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("other-writer"));
    bool ok = false;
    QCOMPARE(csvOf(read, &ok).count("\n"), 4);
    QVERIFY(ok);
}

void TestHistoryEvents::readerOfMissingFile()
{
    const QString missing = path();
    HistoryDatabase reader(missing, HistoryDatabase::Mode::ReadOnly);
    QVERIFY(!reader.open());
    EventLog log(reader);
    bool ok = false;
    QCOMPARE(csvOf(log, &ok), QByteArray("time,event,detail\n"));
    QVERIFY(ok);
    QVERIFY(log.all().isEmpty());
    QVERIFY(!QFileInfo::exists(QFileInfo(missing).absolutePath())); // not even its folder
}

namespace {

int countStep(void *count)
{
    ++*static_cast<qint64 *>(count);
    return 0;
}

// The SQLite instructions `work` runs on `db`'s connection: what it visits, whatever it returns.
qint64 stepsOf(const QSqlDatabase &db, const std::function<void()> &work)
{
    sqlite3 *handle = *static_cast<sqlite3 *const *>(db.driver()->handle().constData());
    qint64 count = 0;
    sqlite3_progress_handler(handle, 1, countStep, &count);
    work();
    sqlite3_progress_handler(handle, 0, nullptr, nullptr);
    return count;
}

// A month of one alarm flapping every `everyS` seconds, then the last hour, the same in every file:
// an alarm on since before it, one that goes on and off in it.
void fillMonth(const QString &file, int everyS, qint64 end)
{
    HistoryDatabase db(file);
    QVERIFY(db.open());
    QVERIFY(db.write([&](QSqlDatabase &sql) -> QSqlError {
        QSqlQuery q(sql);
        q.prepare(QStringLiteral("INSERT INTO events (time, event, detail) VALUES (?, ?, ?)"));
        auto add = [&](qint64 t, const char *event, const char *detail) {
            q.bindValue(0, EventLog::timeText(QDateTime::fromMSecsSinceEpoch(t, Qt::UTC)));
            q.bindValue(1, QString::fromLatin1(event));
            q.bindValue(2, QString::fromLatin1(detail));
            return q.exec();
        };
        const qint64 start = end - 30 * 86400000LL;
        if (!add(start - 1000, "panel started", "") || !add(start, "alarm on", "PSU TEMP ALARM"))
            return q.lastError();
        bool on = false;
        for (qint64 t = start + 1000; t < end - 3600000; t += everyS * 1000LL, on = !on) {
            if (!add(t, on ? "alarm off" : "alarm on", "SWR ALARM"))
                return q.lastError();
        }
        if (on && !add(end - 3600000 - 1, "alarm off", "SWR ALARM"))
            return q.lastError();
        if (!add(end - 1800000, "alarm on", "CURRENT ALARM")
            || !add(end - 900000, "alarm off", "CURRENT ALARM"))
            return q.lastError();
        return {};
    }));
}

} // namespace

// The alarm shading of the last hour reads what the last hour holds and a few look-ups before it:
// a month of flapping before it, forty times as many events, costs it nothing more.
void TestHistoryEvents::alarmPeriodsReadOnlyTheSpan()
{
    const qint64 end
        = QDateTime::fromString(QStringLiteral("2026-06-01T00:00:00Z"), Qt::ISODate).toMSecsSinceEpoch();
    QList<qint64> steps;
    QList<QList<history::AlarmPeriod>> found;
    for (int everyS : { 2400, 60 }) {
        const QString file = path(QStringLiteral("month-%1.sqlite").arg(everyS));
        QVERIFY(QDir().mkpath(QFileInfo(file).absolutePath()));
        fillMonth(file, everyS, end);
        HistoryDatabase db(file);
        QVERIFY(db.open());
        QSqlDatabase sql = db.reader();
        QList<history::AlarmPeriod> periods;
        bool ok = false;
        steps << stepsOf(sql, [&] { periods = history::alarmPeriods(sql, end - 3600000, end, end, &ok); });
        QVERIFY(ok);
        found << periods;
    }
    // The same periods in both: the alarm on since the month's start, and the one in the hour.
    for (const QList<history::AlarmPeriod> &periods : found) {
        QCOMPARE(periods.size(), 2);
        QCOMPARE(periods[0].caption, QStringLiteral("PSU TEMP ALARM"));
        QCOMPARE(periods[0].from, end - 3600000);
        QVERIFY(periods[0].open);
        QCOMPARE(periods[1].caption, QStringLiteral("CURRENT ALARM"));
        QCOMPARE(periods[1].to, end - 900000);
    }
    // 43,000 events before the hour against 1,100: what the query visits does not follow them.
    QVERIFY2(steps[1] < steps[0] + 200,
        qPrintable(QStringLiteral("%1 then %2 steps").arg(steps[0]).arg(steps[1])));

    // The Events window's list of kinds: a look-up per kind, not a walk through the log.
    HistoryDatabase db(path(QStringLiteral("month-60.sqlite")));
    QVERIFY(db.open());
    EventLog log(db);
    QStringList kinds;
    const qint64 kindSteps = stepsOf(db.reader(), [&] { kinds = log.eventKinds(); });
    QCOMPARE(kinds, (QStringList { "alarm off", "alarm on", "panel started" }));
    QVERIFY2(kindSteps < 500, qPrintable(QString::number(kindSteps)));
}

// The window's connection (as the station sets it up) reads a few pages when it opens a file with
// a large event log: no check that reads the events whole on the window's thread.
void TestHistoryEvents::openingChecksNothingForTheWindow()
{
    const QString file = path();
    QVERIFY(QDir().mkpath(QFileInfo(file).absolutePath()));
    fillMonth(file, 20, QDateTime::currentMSecsSinceEpoch()); // 130,000 events
    auto readBytes = [] {
        QFile io(QStringLiteral("/proc/self/io"));
        if (!io.open(QIODevice::ReadOnly))
            return qint64(-1);
        for (const QByteArray &line : io.readAll().split('\n')) {
            if (line.startsWith("rchar: "))
                return line.mid(7).toLongLong();
        }
        return qint64(-1);
    };
    const qint64 size = QFileInfo(file).size() + QFileInfo(file + QStringLiteral("-wal")).size();
    QVERIFY(size > 4 << 20);
    HistoryDatabase db(file);
    db.setAutoCheckpoint(false);
    db.setCheckedTables({ QStringLiteral("events") });
    db.setCheckAtOpening(false);
    const qint64 before = readBytes();
    QVERIFY(db.open());
    const qint64 read = readBytes() - before;
    QVERIFY2(read < 512 * 1024, qPrintable(QStringLiteral("%1 bytes read of %2").arg(read).arg(size)));
    EventLog log(db);
    QVERIFY(log.append(QStringLiteral("panel started")));
}

QTEST_GUILESS_MAIN(TestHistoryEvents)
#include "tst_history_events.moc"
