#include "history/sample_recorder.h"

#include "history/event_log.h"
#include "history/history_database.h"
#include "history/sample_store.h"
#include "status/report.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QMutexLocker>
#include <QSemaphore>
#include <QSqlQuery>
#include <QTimer>
#include <memory>
#include <optional>

#include <time.h>

using history::Sample;

namespace {
// Between two transactions of a backlog: time for the event log's commits to get the file.
constexpr int kChunkPauseMs = 5;
// Samples after which the log is copied into the file (about SQLite's automatic 1000 pages).
constexpr qint64 kCheckpointRows = 8192;
constexpr qint64 kHourMs = 60 * 60 * 1000;

qint64 bootMs()
{
    timespec ts {};
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

qint64 textBytes(const QString &text)
{
    // The string's header and its characters; a null text takes nothing.
    return text.isNull() ? 0 : 32 + 2 * qint64(text.size());
}
} // namespace

// The recorder's thread: its own connection to the history file, the queue's commits, retention
// and checkpoints.
class RecorderWorker : public QObject
{
    Q_OBJECT
public:
    RecorderWorker(SampleRecorder &owner, const QString &path)
        : m_owner(owner)
        , m_path(path)
    {
    }

    void start();
    void stop();
    // Takes the queue and commits one transaction of it; what is left goes on soon.
    void cycle();
    // Commits everything queued now (unless the file fails).
    void drain();
    void setBatchInterval(int ms)
    {
        if (m_batch)
            m_batch->start(ms);
    }
    void setRetryInterval(int ms)
    {
        m_retryMs = ms;
        if (m_db)
            m_db->setRetryInterval(ms);
    }

private:
    void take();
    bool commitChunk();
    bool pruneChunk(bool maintenance = false);
    bool pruneEvents();
    void accrueAllowance();
    bool timedWrite(const std::function<QSqlError(QSqlDatabase &)> &work);
    void checkpoint(bool now);

    SampleRecorder &m_owner;
    QString m_path;
    HistoryDatabase *m_db = nullptr;
    QTimer *m_batch = nullptr;
    QTimer *m_more = nullptr;
    QList<Sample> m_pending; // at most kBatchRows, taken from the front of the queue
    qint64 m_pendingBytes = 0;
    int m_retryMs = HistoryDatabase::kDefaultRetryMs;
    // What retention may still delete now (SampleRecorder::kRawPrunePerHour, kFoldedPrunePerHour),
    // refilled with the steady time, never above an hour's worth.
    double m_rawAllowance = SampleRecorder::kRawPrunePerHour;
    double m_foldedAllowance = SampleRecorder::kFoldedPrunePerHour;
    qint64 m_allowanceAt = 0;
    bool m_allowanceStarted = false;
    std::optional<qint64> m_oldestRaw;
    std::optional<qint64> m_oldestFolded;
    bool m_oldestKnown = false;
    QElapsedTimer m_sinceCheckpoint;
    bool m_dirty = false; // committed since the last checkpoint
    qint64 m_rowsSinceCheckpoint = 0;
};

void RecorderWorker::start()
{
    m_db = new HistoryDatabase(m_path, HistoryDatabase::Mode::ReadWrite, this);
    m_db->setRetryInterval(m_retryMs);
    // Checkpoints are this thread's own steps (checkpoint()), never part of a batch's commit.
    m_db->setAutoCheckpoint(false);
    connect(m_db, &HistoryDatabase::writeProblem, &m_owner, &SampleRecorder::writeProblem);
    connect(m_db, &HistoryDatabase::writeRecovered, &m_owner, &SampleRecorder::writeRecovered);
    connect(m_db, &HistoryDatabase::movedAside, &m_owner, &SampleRecorder::movedAside);
    connect(m_db, &HistoryDatabase::movedAside, this, [this] { m_oldestKnown = false; });
    connect(m_db, &HistoryDatabase::retryDue, this, &RecorderWorker::cycle);

    m_batch = new QTimer(this);
    m_batch->setTimerType(Qt::CoarseTimer);
    connect(m_batch, &QTimer::timeout, this, &RecorderWorker::cycle);
    m_batch->start(m_owner.batchInterval());
    m_more = new QTimer(this);
    m_more->setSingleShot(true);
    connect(m_more, &QTimer::timeout, this, &RecorderWorker::cycle);
    m_sinceCheckpoint.start();
}

void RecorderWorker::stop()
{
    m_batch->stop();
    m_more->stop();
    drain();
    checkpoint(true);
    delete m_db;
    m_db = nullptr;
}

void RecorderWorker::take()
{
    // Only one transaction's worth leaves the queue: the rest waits where record() can drop the
    // oldest when the memory bound is reached. Under the lock only the move of those few.
    QMutexLocker lock(&m_owner.m_mutex);
    m_owner.m_wakeAsked = false;
    const qsizetype n
        = qMin<qsizetype>(m_owner.m_queue.size(), SampleRecorder::kBatchRows - m_pending.size());
    if (n <= 0)
        return;
    for (qsizetype i = 0; i < n; ++i) {
        const qint64 bytes = SampleRecorder::bytesOf(m_owner.m_queue[i]);
        m_owner.m_queueBytes -= bytes;
        m_pendingBytes += bytes;
        m_pending.append(std::move(m_owner.m_queue[i]));
    }
    m_owner.m_queue.remove(0, n);
    m_owner.m_inWorker = int(m_pending.size());
    m_owner.m_inWorkerBytes = m_pendingBytes;
}

bool RecorderWorker::commitChunk()
{
    const qsizetype n = m_pending.size();
    if (n == 0)
        return true;
    const QList<Sample> chunk = m_pending;
    const bool written
        = timedWrite([&chunk](QSqlDatabase &db) { return history::sample_store::append(db, chunk); });
    if (!written)
        return false;
    m_pending.clear();
    m_pendingBytes = 0;
    qint64 oldest = chunk.first().time;
    for (const Sample &s : chunk)
        oldest = qMin(oldest, s.time);
    if (m_oldestKnown && (!m_oldestRaw || oldest < *m_oldestRaw))
        m_oldestRaw = oldest;
    m_dirty = true;
    m_rowsSinceCheckpoint += n;
    {
        QMutexLocker lock(&m_owner.m_mutex);
        m_owner.m_inWorker = 0;
        m_owner.m_inWorkerBytes = 0;
    }
    const qint64 total = m_owner.m_committed.fetchAndAddRelaxed(n) + n;
    emit m_owner.committed(total);
    return true;
}

bool RecorderWorker::timedWrite(const std::function<QSqlError(QSqlDatabase &)> &work)
{
    QElapsedTimer timer;
    timer.start();
    const bool written = m_db->write(work);
    const qint64 us = timer.nsecsElapsed() / 1000;
    if (written && us > m_owner.m_longestUs.loadRelaxed())
        m_owner.m_longestUs.storeRelaxed(us);
    return written;
}

void RecorderWorker::accrueAllowance()
{
    const qint64 now = m_owner.m_steady();
    if (m_allowanceStarted) {
        const double hours = double(qMax<qint64>(0, now - m_allowanceAt)) / double(kHourMs);
        m_rawAllowance = qMin<double>(
            SampleRecorder::kRawPrunePerHour, m_rawAllowance + hours * SampleRecorder::kRawPrunePerHour);
        m_foldedAllowance = qMin<double>(SampleRecorder::kFoldedPrunePerHour,
            m_foldedAllowance + hours * SampleRecorder::kFoldedPrunePerHour);
    }
    m_allowanceStarted = true;
    m_allowanceAt = now;
}

// One transaction of retention when some is due; true when more is due. `maintenance`: while the
// samples cannot be committed, so that what retention frees makes room for them.
bool RecorderWorker::pruneChunk(bool maintenance)
{
    qint64 now = 0;
    {
        QMutexLocker lock(&m_owner.m_mutex);
        if (!m_owner.m_anchored)
            return false;
        now = m_owner.m_anchorTime;
    }
    if (m_db->isPaused() && !m_db->isOpen() && !maintenance)
        return false;
    if (!m_oldestKnown) {
        QSqlDatabase db = m_db->isOpen() || !maintenance ? m_db->reader() : QSqlDatabase();
        if (maintenance && !db.isOpen() && m_db->writeWhilePaused([](QSqlDatabase &) { return QSqlError(); }))
            db = m_db->reader();
        if (!db.isOpen())
            return false;
        m_oldestRaw = history::sample_store::oldestRaw(db);
        QSqlQuery q(db);
        m_oldestFolded
            = q.exec(QStringLiteral("SELECT MIN(time) FROM samples_1min")) && q.next() && !q.value(0).isNull()
            ? std::optional<qint64>(q.value(0).toLongLong())
            : std::nullopt;
        m_oldestKnown = true;
    }
    const qint64 rawCut = history::periodStart(now - history::kRawKeepMs, history::kMinuteMs);
    const qint64 foldedCut = history::periodStart(now - history::kFoldedKeepMs, history::kHourMs);
    const bool rawDue = m_oldestRaw && *m_oldestRaw < rawCut;
    const bool foldedDue = m_oldestFolded && *m_oldestFolded < foldedCut;
    if (!rawDue && !foldedDue)
        return false;
    accrueAllowance();
    const int rawLimit = rawDue ? qMin(SampleRecorder::kBatchRows, int(m_rawAllowance)) : 0;
    const int foldedLimit = foldedDue ? qMin(SampleRecorder::kBatchRows, int(m_foldedAllowance)) : 0;
    if (rawLimit == 0 && foldedLimit == 0)
        return false; // this hour's share is used up
    int rawRemoved = 0;
    int foldedRemoved = 0;
    auto work = [&](QSqlDatabase &db) {
        return history::sample_store::prune(db, now, rawLimit, foldedLimit, &rawRemoved, &foldedRemoved);
    };
    if (maintenance ? !m_db->writeWhilePaused(work) : !timedWrite(work))
        return false;
    m_rawAllowance -= rawRemoved;
    m_foldedAllowance -= foldedRemoved;
    m_dirty = true;
    m_rowsSinceCheckpoint += rawRemoved + foldedRemoved;
    m_oldestKnown = false; // read again next time
    return (rawLimit > 0 && rawRemoved >= rawLimit) || (foldedLimit > 0 && foldedRemoved >= foldedLimit);
}

// The event log's retention, a step of its own beside the samples': events are kept as long as the
// folded rows, against the same "now" as the samples' retention (the newest sample in line with the
// steady clock, so a clock set ahead deletes no events either); true when more is due.
bool RecorderWorker::pruneEvents()
{
    qint64 now = 0;
    {
        QMutexLocker lock(&m_owner.m_mutex);
        if (!m_owner.m_anchored)
            return false;
        now = m_owner.m_anchorTime;
    }
    if (m_db->isPaused() && !m_db->isOpen())
        return false;
    {
        // A look-up in events_by_time; no write transaction when nothing is due.
        QSqlDatabase db = m_db->reader();
        if (!db.isOpen())
            return false;
        QSqlQuery q(db);
        const qint64 cut = history::periodStart(now - history::kFoldedKeepMs, history::kHourMs);
        if (!q.exec(QStringLiteral("SELECT MIN(time) FROM events")) || !q.next() || q.value(0).isNull()
            || q.value(0).toString() >= EventLog::timeText(QDateTime::fromMSecsSinceEpoch(cut, Qt::UTC)))
            return false;
    }
    int removed = 0;
    if (!timedWrite(
            [&](QSqlDatabase &db) { return EventLog::prune(db, now, SampleRecorder::kBatchRows, &removed); }))
        return false;
    if (removed > 0) {
        m_dirty = true;
        m_rowsSinceCheckpoint += removed;
    }
    return removed >= SampleRecorder::kBatchRows;
}

// The log is copied into the file once enough has gone into it (about what SQLite's own automatic
// checkpoint waits for), or a while after the last write: at one report a second that is once a
// minute, one flush of the file, not one a batch.
void RecorderWorker::checkpoint(bool now)
{
    if (!m_dirty || !m_db || !m_db->isOpen())
        return;
    if (!now && m_rowsSinceCheckpoint < kCheckpointRows
        && m_sinceCheckpoint.elapsed() < SampleRecorder::kCheckpointMs)
        return;
    // PASSIVE: copies what no reader still needs, and never waits for a reader or a writer.
    QSqlQuery q(m_db->reader());
    q.exec(QStringLiteral("PRAGMA wal_checkpoint(PASSIVE)"));
    m_sinceCheckpoint.restart();
    m_dirty = false;
    m_rowsSinceCheckpoint = 0;
}

void RecorderWorker::cycle()
{
    take();
    bool more = false;
    if (!m_pending.isEmpty()) {
        if (!commitChunk()) {
            // Paused (the retry calls again). Retention still runs: on a disk the history filled,
            // what it deletes is the room the samples wait for.
            if (pruneChunk(true))
                checkpoint(true);
            return;
        }
        take();
        more = !m_pending.isEmpty();
    }
    // Retention keeps pace with the samples (a step after each batch), so that the space of the
    // samples it deletes is taken again by the next ones and the file stops growing.
    more = pruneChunk() || more;
    more = pruneEvents() || more;
    checkpoint(false);
    if (more)
        m_more->start(kChunkPauseMs);
}

void RecorderWorker::drain()
{
    take();
    while (!m_pending.isEmpty()) {
        if (!commitChunk()) {
            if (pruneChunk(true))
                checkpoint(true);
            return;
        }
        pruneChunk();
        pruneEvents();
        take();
    }
    while (pruneChunk()) { }
    while (pruneEvents()) { }
}

SampleRecorder::SampleRecorder(const QString &databasePath, QObject *parent)
    : QObject(parent)
    , m_path(databasePath.isEmpty() ? HistoryDatabase::defaultPath() : databasePath)
    , m_clock([] { return QDateTime::currentMSecsSinceEpoch(); })
    , m_steady(bootMs)
{
    m_thread.setObjectName(QStringLiteral("history recorder"));
    m_worker = new RecorderWorker(*this, m_path);
    m_worker->moveToThread(&m_thread);
    m_thread.start();
    QMetaObject::invokeMethod(m_worker, &RecorderWorker::start, Qt::QueuedConnection);
}

SampleRecorder::~SampleRecorder()
{
    QMetaObject::invokeMethod(m_worker, &RecorderWorker::stop, Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
    delete m_worker;
}

void SampleRecorder::record(const report::Display &display)
{
    add(Sample::fromDisplay(display, m_clock()));
}

qint64 SampleRecorder::bytesOf(const history::Sample &sample)
{
    return qint64(sizeof(Sample)) + textBytes(sample.alarmCode) + textBytes(sample.uptime)
        + textBytes(sample.firmware);
}

void SampleRecorder::add(const history::Sample &sample)
{
    Sample s = sample;
    s.clampTexts();
    const qint64 bytes = bytesOf(s);
    const qint64 second = history::periodStart(s.time, 1000);
    const qint64 steady = m_steady();
    bool wake = false;
    {
        QMutexLocker lock(&m_mutex);
        if (m_haveLast && second == m_lastSecond) {
            m_thinned.fetchAndAddRelaxed(1);
            return;
        }
        m_haveLast = true;
        m_lastSecond = second;

        // Retention's "now": the newest sample in line with the steady clock.
        const qint64 expected = m_anchorTime + (steady - m_anchorSteady);
        bool inLine = !m_anchored || s.time <= expected + kAheadMs;
        if (!inLine) {
            if (m_aheadSince < 0)
                m_aheadSince = steady;
            // Far ahead for so long that the clock was set right, not wrong.
            inLine = steady - m_aheadSince >= kTrustAheadMs;
            if (!inLine)
                m_setAside.fetchAndAddRelaxed(1);
        }
        if (inLine) {
            m_anchored = true;
            m_anchorTime = s.time;
            m_anchorSteady = steady;
            m_aheadSince = -1;
        }

        m_queue.append(std::move(s));
        m_queueBytes += bytes;
        if (m_queue.size() >= kBatchRows && !m_wakeAsked) {
            m_wakeAsked = true;
            wake = true;
        }
        // Never more than kMaxWaitingBytes in memory, also while the worker is busy or the file
        // cannot be written: the oldest go first.
        while (m_queueBytes + m_inWorkerBytes > kMaxWaitingBytes && m_queue.size() > 1) {
            m_queueBytes -= bytesOf(m_queue.first());
            m_queue.removeFirst();
            m_dropped.fetchAndAddRelaxed(1);
        }
    }
    if (wake)
        QMetaObject::invokeMethod(m_worker, &RecorderWorker::cycle, Qt::QueuedConnection);
}

void SampleRecorder::flush()
{
    QMetaObject::invokeMethod(m_worker, &RecorderWorker::cycle, Qt::QueuedConnection);
}

bool SampleRecorder::sync(int timeoutMs)
{
    auto done = std::make_shared<QSemaphore>();
    RecorderWorker *worker = m_worker;
    QMetaObject::invokeMethod(
        m_worker,
        [worker, done] {
            worker->drain();
            done->release();
        },
        Qt::QueuedConnection);
    done->tryAcquire(1, timeoutMs);
    return waitingCount() == 0;
}

void SampleRecorder::setBatchInterval(int ms)
{
    m_batchMs.storeRelaxed(ms);
    RecorderWorker *worker = m_worker;
    QMetaObject::invokeMethod(
        m_worker, [worker, ms] { worker->setBatchInterval(ms); }, Qt::QueuedConnection);
}

void SampleRecorder::setRetryInterval(int ms)
{
    RecorderWorker *worker = m_worker;
    QMetaObject::invokeMethod(
        m_worker, [worker, ms] { worker->setRetryInterval(ms); }, Qt::QueuedConnection);
}

int SampleRecorder::waitingCount() const
{
    QMutexLocker lock(&m_mutex);
    return int(m_queue.size()) + m_inWorker;
}

qint64 SampleRecorder::waitingBytes() const
{
    QMutexLocker lock(&m_mutex);
    return m_queueBytes + m_inWorkerBytes;
}

#include "sample_recorder.moc"
