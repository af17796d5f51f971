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

using history::Sample;

namespace {
// Between two transactions of a backlog: time for the event log's commits to get the file.
constexpr int kChunkPauseMs = 5;
// Samples after which the log is copied into the file (about SQLite's automatic 1000 pages).
constexpr qint64 kCheckpointRows = 8192;
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
    bool pruneChunk();
    bool pruneEvents();
    bool timedWrite(const std::function<QSqlError(QSqlDatabase &)> &work);
    void checkpoint(bool now);

    SampleRecorder &m_owner;
    QString m_path;
    HistoryDatabase *m_db = nullptr;
    QTimer *m_batch = nullptr;
    QTimer *m_more = nullptr;
    QList<Sample> m_pending;
    int m_retryMs = HistoryDatabase::kDefaultRetryMs;
    qint64 m_newest = 0; // the newest time of the last batch: the retention's "now"
    bool m_haveNewest = false;
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
    // Under the lock only the swap: the recording thread never waits for more than that.
    QList<Sample> queued;
    {
        QMutexLocker lock(&m_owner.m_mutex);
        m_owner.m_wakeAsked = false;
        if (m_owner.m_queue.isEmpty())
            return;
        queued.swap(m_owner.m_queue);
        m_owner.m_inWorker += int(queued.size());
    }
    if (m_pending.isEmpty())
        m_pending.swap(queued);
    else
        m_pending.append(std::move(queued));
    const qsizetype over = m_pending.size() - SampleRecorder::kMaxWaiting;
    if (over > 0) {
        m_pending.remove(0, over);
        m_owner.m_dropped.fetchAndAddRelaxed(over);
        QMutexLocker lock(&m_owner.m_mutex);
        m_owner.m_inWorker = int(m_pending.size());
    }
}

bool RecorderWorker::commitChunk()
{
    const qsizetype n = qMin<qsizetype>(m_pending.size(), SampleRecorder::kBatchRows);
    if (n == 0)
        return true;
    const QList<Sample> chunk = m_pending.mid(0, n);
    const bool written
        = timedWrite([&chunk](QSqlDatabase &db) { return history::sample_store::append(db, chunk); });
    if (!written)
        return false;
    m_pending.remove(0, n);
    qint64 newest = chunk.first().time;
    qint64 oldest = newest;
    for (const Sample &s : chunk) {
        newest = qMax(newest, s.time);
        oldest = qMin(oldest, s.time);
    }
    m_newest = newest;
    m_haveNewest = true;
    if (m_oldestKnown && (!m_oldestRaw || oldest < *m_oldestRaw))
        m_oldestRaw = oldest;
    m_dirty = true;
    m_rowsSinceCheckpoint += n;
    {
        QMutexLocker lock(&m_owner.m_mutex);
        m_owner.m_inWorker = int(m_pending.size());
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

// One transaction of retention when some is due; true when more is due.
bool RecorderWorker::pruneChunk()
{
    if (!m_haveNewest || (m_db->isPaused() && !m_db->isOpen()))
        return false;
    if (!m_oldestKnown) {
        QSqlDatabase db = m_db->reader();
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
    const qint64 rawCut = history::periodStart(m_newest - history::kRawKeepMs, history::kMinuteMs);
    const qint64 foldedCut = history::periodStart(m_newest - history::kFoldedKeepMs, history::kHourMs);
    if (!(m_oldestRaw && *m_oldestRaw < rawCut) && !(m_oldestFolded && *m_oldestFolded < foldedCut))
        return false;
    int removed = 0;
    const qint64 now = m_newest;
    if (!timedWrite([&](QSqlDatabase &db) {
            return history::sample_store::prune(db, now, SampleRecorder::kBatchRows, &removed);
        }))
        return false;
    m_dirty = true;
    m_rowsSinceCheckpoint += removed;
    m_oldestKnown = false; // read again next time
    return removed >= SampleRecorder::kBatchRows;
}

// The event log's retention, a step of its own beside the samples': events are kept as long as the
// folded rows, against the same "now" (the samples' retention's); true when more is due.
bool RecorderWorker::pruneEvents()
{
    if (!m_haveNewest || (m_db->isPaused() && !m_db->isOpen()))
        return false;
    const qint64 now = m_newest;
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
        if (!commitChunk())
            return; // paused: the retry calls again
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
        if (!commitChunk())
            return;
        pruneChunk();
        pruneEvents();
    }
    while (pruneChunk()) { }
    while (pruneEvents()) { }
}

SampleRecorder::SampleRecorder(const QString &databasePath, QObject *parent)
    : QObject(parent)
    , m_path(databasePath.isEmpty() ? HistoryDatabase::defaultPath() : databasePath)
    , m_clock([] { return QDateTime::currentMSecsSinceEpoch(); })
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

void SampleRecorder::add(const history::Sample &sample)
{
    bool wake = false;
    {
        QMutexLocker lock(&m_mutex);
        m_queue.append(sample);
        if (m_queue.size() >= kBatchRows && !m_wakeAsked) {
            m_wakeAsked = true;
            wake = true;
        }
        // Never more than a day's worth in memory, also while the worker is busy.
        if (m_queue.size() > kMaxWaiting) {
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

#include "sample_recorder.moc"
