// The recorder against the disk: samples wait in memory and go in a batch at a time, closing
// commits what waits, a kill loses at most the batch being written and never the file, a file that
// cannot be written pauses recording (told once) until it can, and a damaged file is moved aside
// whichever of the file's two writers (the event log's and the recorder's) finds it.
//
// The kill test runs this program again as a child that records numbered samples until it is
// killed with SIGKILL at a random moment; RECORDER_KILLS and RECORDER_KILL_SEED change the kills and
// the sequence. As root, the read-only folder is a small tmpfs remounted read-only.
#include "history/event_log.h"
#include "history/history_database.h"
#include "history/sample_export.h"
#include "history/sample_recorder.h"
#include "history/sample_store.h"
#include "status/report.h"
#include "support/test_env.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QtTest>
#include <atomic>

#include <sys/mount.h>
#include <unistd.h>

using namespace history;

namespace {

const char kChildVariable[] = "RECORDER_CHILD";
const qint64 kStart = QDateTime(QDate(2026, 4, 1), QTime(0, 0), Qt::UTC).toMSecsSinceEpoch();

Sample numbered(qint64 n)
{
    Sample s;
    s.time = kStart + n * 1000;
    s.values[Forward] = double(n);
    s.values[Reflected] = 1;
    s.computeSwr();
    s.uptime = QStringLiteral("0001D:00H:00M");
    return s;
}

void writeLine(const QByteArray &line)
{
    const QByteArray out = line + '\n';
    [[maybe_unused]] const ssize_t n = ::write(STDOUT_FILENO, out.constData(), size_t(out.size()));
}

// All raw samples' numbers, oldest first.
QList<qint64> numbersIn(HistoryDatabase &db)
{
    QList<qint64> numbers;
    sample_store::readRaw(db.reader(), kEarliest, kLatest,
        [&numbers](const Sample &s) { numbers << qint64(s.values[Forward]); });
    return numbers;
}

// The child: records numbered samples (committing every 20 ms) and prints the committed total
// after each commit, until killed.
int runChild()
{
    if (qEnvironmentVariableIsEmpty("XDG_DATA_HOME"))
        return 3;
    const QString file = qEnvironmentVariable(kChildVariable);
    qint64 n = 0;
    {
        HistoryDatabase db(file, HistoryDatabase::Mode::ReadOnly);
        if (db.open())
            n = sample_store::count(db.reader(), Resolution::Raw);
    }
    writeLine("ready " + QByteArray::number(n));
    SampleRecorder recorder(file);
    recorder.setBatchInterval(20);
    const qint64 base = n;
    QObject::connect(&recorder, &SampleRecorder::committed,
        [base](qint64 total) { writeLine(QByteArray::number(base + total)); });
    QTimer feed;
    QObject::connect(&feed, &QTimer::timeout, [&recorder, &n] {
        for (int i = 0; i < 10; ++i)
            recorder.add(numbered(++n));
    });
    feed.start(1);
    return QCoreApplication::exec();
}

int envNumber(const char *name, int fallback)
{
    bool ok = false;
    const int n = qEnvironmentVariableIntValue(name, &ok);
    return ok ? n : fallback;
}

} // namespace

class TestHistoryRecorder : public QObject
{
    Q_OBJECT
private:
    TestStoreHome m_home;
    QTemporaryDir m_scratch;
    QByteArray m_mount;

private slots:
    void cleanup()
    {
        if (!m_mount.isEmpty())
            ::umount2(m_mount.constData(), MNT_DETACH);
        m_mount.clear();
    }
    void batchesAndClose();
    void killedWhileRecording();
    void pausedAndResumed();
    void damagedFileMovedAside();
    void checkAtOpeningScope();
    void longTextsAndFlood();
    void queueBoundInBytes();
};

// Samples are written a batch at a time, not one by one; destroying the recorder commits the rest.
void TestHistoryRecorder::batchesAndClose()
{
    const QString file = m_scratch.filePath(QStringLiteral("batches.sqlite"));
    {
        SampleRecorder recorder(file);
        recorder.setBatchInterval(60000);
        QSignalSpy committed(&recorder, &SampleRecorder::committed);
        for (int i = 1; i <= 10; ++i)
            recorder.add(numbered(i));
        QVERIFY(!committed.wait(300)); // nothing before the minute's batch
        QCOMPARE(recorder.waitingCount(), 10);
        QCOMPARE(recorder.committedCount(), 0);

        // A full batch goes at once.
        for (int i = 11; i <= SampleRecorder::kBatchRows; ++i)
            recorder.add(numbered(i));
        QVERIFY(committed.wait(10000));
        QCOMPARE(committed.last().first().toLongLong(), SampleRecorder::kBatchRows);
        for (int i = SampleRecorder::kBatchRows + 1; i <= SampleRecorder::kBatchRows + 7; ++i)
            recorder.add(numbered(i));
        QCOMPARE(recorder.waitingCount(), 7);
    }
    HistoryDatabase db(file, HistoryDatabase::Mode::ReadOnly);
    QVERIFY(db.open());
    QList<qint64> expected;
    for (int i = 1; i <= SampleRecorder::kBatchRows + 7; ++i)
        expected << i;
    QCOMPARE(numbersIn(db), expected);
}

void TestHistoryRecorder::killedWhileRecording()
{
    const int kills = envNumber("RECORDER_KILLS", 12);
    const quint32 seed
        = quint32(envNumber("RECORDER_KILL_SEED", int(QRandomGenerator::global()->generate() >> 1)));
    QRandomGenerator random(seed);
    const QString file = m_scratch.filePath(QStringLiteral("killed/history.sqlite"));
    QVERIFY(QDir().mkpath(QFileInfo(file).absolutePath()));
    qint64 stored = 0;

    for (int kill = 0; kill < kills; ++kill) {
        const QString where
            = QStringLiteral("kill %1 of %2, RECORDER_KILL_SEED=%3").arg(kill + 1).arg(kills).arg(seed);
        QProcess child;
        child.setProgram(QCoreApplication::applicationFilePath());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QString::fromLatin1(kChildVariable), file);
        child.setProcessEnvironment(env);
        child.start();
        QVERIFY2(child.waitForStarted(10000), qPrintable(where));
        QByteArray out;
        while (out.count('\n') < 3 && child.state() == QProcess::Running) {
            child.waitForReadyRead(10000);
            out += child.readAllStandardOutput();
        }
        ::usleep(useconds_t(random.bounded(200000)));
        child.kill();
        QVERIFY2(child.waitForFinished(10000), qPrintable(where));
        QCOMPARE(child.exitStatus(), QProcess::CrashExit);
        out += child.readAllStandardOutput();

        const QList<QByteArray> lines = out.split('\n');
        QVERIFY2(
            lines.first() == "ready " + QByteArray::number(stored), qPrintable(where + ": " + out.left(200)));
        qint64 committed = stored;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            if (!lines[i].isEmpty())
                committed = lines[i].toLongLong();
        }
        QVERIFY2(committed > stored, qPrintable(where + ": nothing committed"));

        // The file opens, passes SQLite's check, and holds every committed sample once, in order,
        // and at most the batch that was being committed when the kill came.
        HistoryDatabase reader(file, HistoryDatabase::Mode::ReadOnly);
        QVERIFY2(reader.open(), qPrintable(where));
        QSqlQuery check(reader.reader());
        QVERIFY2(check.exec(QStringLiteral("PRAGMA quick_check")) && check.next(), qPrintable(where));
        QCOMPARE(check.value(0).toString(), QStringLiteral("ok"));
        check.finish();
        const QList<qint64> numbers = numbersIn(reader);
        const qint64 found = numbers.size();
        QVERIFY2(found >= committed && found <= committed + SampleRecorder::kBatchRows,
            qPrintable(where + QStringLiteral(": %1 samples, %2 committed").arg(found).arg(committed)));
        for (qint64 i = 0; i < found; ++i)
            QCOMPARE(numbers[int(i)], i + 1);
        // The folded rows count every stored sample once.
        qint64 folded = 0;
        sample_store::readFolded(reader.reader(), Resolution::Minute, kEarliest, kLatest,
            [&folded](const Aggregate &a) { folded += a.samples; });
        QCOMPARE(folded, found);
        stored = found;
    }
}

void TestHistoryRecorder::pausedAndResumed()
{
    const QString folder = m_scratch.filePath(QStringLiteral("read-only"));
    QVERIFY(QDir().mkpath(folder));
    const bool root = ::geteuid() == 0;
    if (root) {
        QVERIFY2(
            ::mount("tmpfs", QFile::encodeName(folder).constData(), "tmpfs", 0, "size=4m,mode=0755") == 0,
            "a tmpfs could not be mounted");
        m_mount = QFile::encodeName(folder);
        QVERIFY(
            ::mount("tmpfs", m_mount.constData(), "tmpfs", MS_REMOUNT | MS_RDONLY, "size=4m,mode=0755") == 0);
    } else {
        QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
    }
    const QString file = folder + QStringLiteral("/history.sqlite");
    SampleRecorder recorder(file);
    recorder.setRetryInterval(200);
    recorder.setBatchInterval(50);
    QSignalSpy problems(&recorder, &SampleRecorder::writeProblem);
    QSignalSpy recovered(&recorder, &SampleRecorder::writeRecovered);
    for (int i = 1; i <= 30; ++i)
        recorder.add(numbered(i));
    QVERIFY(problems.wait(5000));
    // Retries go on, and are not told again.
    QTest::qWait(700);
    for (int i = 31; i <= 40; ++i)
        recorder.add(numbered(i));
    QTest::qWait(300);
    QCOMPARE(problems.count(), 1);
    QVERIFY2(
        problems.first().first().toString().contains(file), qPrintable(problems.first().first().toString()));
    QCOMPARE(recorder.waitingCount(), 40);
    QCOMPARE(recovered.count(), 0);

    if (root)
        QVERIFY(::mount("tmpfs", m_mount.constData(), "tmpfs", MS_REMOUNT, "size=4m,mode=0755") == 0);
    else
        QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QVERIFY(recovered.wait(5000));
    QVERIFY(recorder.sync());
    QCOMPARE(problems.count(), 1);
    QCOMPARE(recovered.count(), 1);
    HistoryDatabase db(file, HistoryDatabase::Mode::ReadOnly);
    QVERIFY(db.open());
    QList<qint64> expected;
    for (int i = 1; i <= 40; ++i)
        expected << i;
    QCOMPARE(numbersIn(db), expected);
}

// The file goes bad under both writers: the recorder finds it, moves it aside and starts a new one;
// the event log, which had the old file open, writes its next event into the new one.
void TestHistoryRecorder::damagedFileMovedAside()
{
    const QString folder = m_scratch.filePath(QStringLiteral("damaged"));
    const QString file = folder + QStringLiteral("/history.sqlite");
    QVERIFY(QDir().mkpath(folder));
    HistoryDatabase events(file);
    EventLog log(events);
    QVERIFY(log.append(QStringLiteral("panel started")));
    QSqlQuery(events.reader()).exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));

    // Garbage over every page but the first, as a broken disk might leave it: the file still reads
    // as a database, and fails SQLite's check.
    {
        QFile f(file);
        QVERIFY(f.open(QIODevice::ReadWrite));
        const qint64 size = f.size();
        QVERIFY(size > 4096);
        QRandomGenerator random(3);
        QByteArray junk(int(size - 4096), '\0');
        for (char &c : junk)
            c = char(random.bounded(256));
        QVERIFY(f.seek(4096));
        QVERIFY(f.write(junk) == junk.size());
    }
    SampleRecorder recorder(file);
    QSignalSpy moved(&recorder, &SampleRecorder::movedAside);
    QSignalSpy problems(&recorder, &SampleRecorder::writeProblem);
    recorder.add(numbered(1));
    QVERIFY(recorder.sync());
    QTRY_COMPARE(moved.count(), 1); // told on this thread
    QCOMPARE(problems.count(), 0);
    QVERIFY(QFileInfo::exists(moved.first().first().toString()));

    QVERIFY(log.append(QStringLiteral("alarm on"), QStringLiteral("SWR ALARM")));
    HistoryDatabase reader(file, HistoryDatabase::Mode::ReadOnly);
    QVERIFY(reader.open());
    QCOMPARE(numbersIn(reader), QList<qint64> { 1 });
    const QList<LoggedEvent> logged = EventLog(reader).all();
    QCOMPARE(logged.size(), 1);
    QCOMPARE(logged.first().event, QStringLiteral("alarm on"));
}

// The window's connection checks only the events when it opens the file (a year of samples takes
// seconds to check); the recorder's checks the whole file, and finds the damage in the samples.
void TestHistoryRecorder::checkAtOpeningScope()
{
    const QString file = m_scratch.filePath(QStringLiteral("scope/history.sqlite"));
    QVERIFY(QDir().mkpath(QFileInfo(file).absolutePath()));
    int root = 0;
    {
        SampleRecorder recorder(file);
        for (int i = 1; i <= 2000; ++i)
            recorder.add(numbered(i));
        QVERIFY(recorder.sync());
        HistoryDatabase db(file);
        QVERIFY(EventLog(db).append(QStringLiteral("panel started")));
        QSqlQuery q(db.reader());
        QVERIFY(
            q.exec(QStringLiteral("SELECT rootpage FROM sqlite_master WHERE name = 'samples'")) && q.next());
        root = q.value(0).toInt();
        q.finish();
        QVERIFY(q.exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)")));
    }
    QVERIFY(root > 1);
    {
        QFile f(file);
        QVERIFY(f.open(QIODevice::ReadWrite));
        QVERIFY(f.seek(qint64(root - 1) * 4096));
        QVERIFY(f.write(QByteArray(4096, '\xff')) == 4096);
    }
    HistoryDatabase events(file);
    events.setCheckedTables({ QStringLiteral("events") });
    QSignalSpy eventsMoved(&events, &HistoryDatabase::movedAside);
    QVERIFY(events.open());
    QCOMPARE(eventsMoved.count(), 0);
    QCOMPARE(EventLog(events).all().size(), 1);

    HistoryDatabase whole(file);
    QSignalSpy moved(&whole, &HistoryDatabase::movedAside);
    QVERIFY(whole.open());
    QCOMPARE(moved.count(), 1);
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsSet(kChildVariable))
        return runChild();
    TestHistoryRecorder test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

// A simulated day of reports that carry a 4000-character firmware text and uptime, three a second:
// one sample a second is stored, its texts cut to 64 characters, and the file stays the size of a
// day of ordinary samples. HISTORY_FLOOD_HOURS shortens the day.
void TestHistoryRecorder::longTextsAndFlood()
{
    const qint64 hours = envNumber("HISTORY_FLOOD_HOURS", 24);
    const QString file = m_scratch.filePath(QStringLiteral("flood.sqlite"));
    const QString firmware = QString(4000, u'F');
    const QString uptime = QString(4000, u'7');
    const qint64 seconds = hours * 3600;
    {
        SampleRecorder recorder(file);
        std::atomic<qint64> clock { kStart };
        recorder.setClock([&clock] { return clock.load(); });
        recorder.setSteadyClock([&clock] { return clock.load() - kStart; });
        report::Display display = report::Display::initial();
        for (qint64 t = 0; t < seconds * 1000; t += 333) {
            clock = kStart + t;
            report::apply(
                QStringLiteral("Pfwd=%1W,Uptime=%2,Firmware=%3,").arg(t % 500).arg(uptime, firmware),
                display);
            recorder.record(display);
        }
        QVERIFY(recorder.sync(300000));
        QCOMPARE(recorder.committedCount(), seconds);
        QCOMPARE(recorder.droppedCount(), 0);
    }
    HistoryDatabase db(file, HistoryDatabase::Mode::ReadOnly);
    QVERIFY(db.open());
    QCOMPARE(sample_store::count(db.reader(), Resolution::Raw), seconds);
    QSqlQuery q(db.reader());
    QVERIFY(
        q.exec(QStringLiteral("SELECT MAX(LENGTH(firmware)), MAX(LENGTH(uptime)) FROM samples")) && q.next());
    QCOMPARE(q.value(0).toInt(), SampleRecorder::kMaxTextLength);
    QCOMPARE(q.value(1).toInt(), SampleRecorder::kMaxTextLength);
    QVERIFY(q.exec(QStringLiteral("SELECT MAX(LENGTH(firmware)) FROM samples_1min")) && q.next());
    QCOMPARE(q.value(0).toInt(), SampleRecorder::kMaxTextLength);
    // A raw row with its index is about 155 bytes with short texts, a minute row 216: with the
    // two 64-character texts well under 400 bytes a second.
    const qint64 size = QFileInfo(file).size() + QFileInfo(file + QStringLiteral("-wal")).size();
    qInfo("%lld hours: %lld bytes, %lld a second", hours, size, size / seconds);
    QVERIFY2(size < seconds * 400, qPrintable(QString::number(size)));
}

// While the file cannot be written, what waits is bounded in bytes, the newest kept.
void TestHistoryRecorder::queueBoundInBytes()
{
    const QString blocker = m_scratch.filePath(QStringLiteral("not-a-folder"));
    QFile f(blocker);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.close();
    SampleRecorder recorder(blocker + QStringLiteral("/history.sqlite"));
    recorder.setRetryInterval(100000);
    Sample s = numbered(0);
    s.firmware = QString(4000, u'F');
    s.uptime = QString(4000, u'U');
    s.alarmCode = QString(4000, u'0');
    const qint64 one = SampleRecorder::bytesOf([&] {
        Sample c = s;
        c.clampTexts();
        return c;
    }());
    const qint64 n = 2 * SampleRecorder::kMaxWaitingBytes / one;
    for (qint64 i = 1; i <= n; ++i) {
        s.time = kStart + i * 1000;
        s.values[Forward] = double(i);
        recorder.add(s);
    }
    QVERIFY(!recorder.sync(5000));
    QVERIFY(recorder.waitingBytes() <= SampleRecorder::kMaxWaitingBytes);
    QVERIFY(
        recorder.waitingBytes() > SampleRecorder::kMaxWaitingBytes - one * (SampleRecorder::kBatchRows + 1));
    QCOMPARE(recorder.waitingCount() + recorder.droppedCount(), n);
    QCOMPARE(recorder.waitingBytes(), recorder.waitingCount() * one);
}

#include "tst_history_recorder.moc"
