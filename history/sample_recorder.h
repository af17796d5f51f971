#pragma once

#include "history/sample.h"

#include <QAtomicInteger>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QThread>
#include <functional>

namespace report {
struct Display;
}
class RecorderWorker;

// Keeps every applied report as a sample in the history file, without ever making the caller's
// thread (the window's) wait for the disk: record() only stamps the sample and queues it. A thread
// of the recorder's own, with a connection of its own, commits what is queued every
// batchInterval() (or sooner, once kBatchRows wait) in short transactions, folds the samples into
// their minutes and hours as it goes, applies the retention, and runs the write-ahead log's
// checkpoints, so that the event log's commits on the window's thread neither wait for a batch nor
// run a checkpoint themselves (HistoryDatabase::setAutoCheckpoint(false) on that connection).
//
// A kill loses at most what was queued since the last commit, never the file. Destroying the
// recorder commits what is queued first. While the file cannot be written, samples wait (the newest,
// up to kMaxWaitingBytes of memory) and the problem is told once, as the event log does; retention
// goes on meanwhile, so that a disk the history filled gets room again by itself.
//
// What a sample costs is bounded by time, whatever the wire sends: at most one sample a second
// (the first of each second of the clock; the display is cumulative, so the next carries what
// came after), its texts cut to kMaxTextLength characters.
//
// Retention never deletes on the strength of a clock that jumped. Its "now" is the time of the
// newest sample that is in line with a steady clock: each sample is judged against the time of the
// last one in line plus the steady time since then, and one more than kAheadMs ahead of that is set
// aside (stored, but not taken as "now") until the clock has stayed that far ahead for kTrustAheadMs
// of steady time. A clock set back is followed at once, which only deletes less. And however "now"
// moves, one hour of retention deletes at most kRetentionPace hours' worth of rows.
class SampleRecorder : public QObject
{
    Q_OBJECT
public:
    using Clock = std::function<qint64()>; // milliseconds since 1970 UTC
    using SteadyClock = std::function<qint64()>; // milliseconds on a clock that never steps

    static constexpr int kBatchMs = 2000;
    static constexpr int kBatchRows = 64; // at most per transaction: a few milliseconds
    // What waits in memory, the samples with their texts: about a day at one report a second.
    static constexpr qint64 kMaxWaitingBytes = 32 * 1024 * 1024;
    static constexpr int kMaxTextLength = history::kMaxTextLength;
    static constexpr qint64 kAheadMs = 60 * 60 * 1000;
    static constexpr qint64 kTrustAheadMs = 24 * 60 * 60 * 1000;
    static constexpr int kRetentionPace = 4;
    // Rows one hour of retention may delete: kRetentionPace hours of samples at one a second, and
    // of their minutes and hours.
    static constexpr int kRawPrunePerHour = kRetentionPace * 3600;
    static constexpr int kFoldedPrunePerHour = kRetentionPace * (60 + 1);
    static constexpr int kCheckpointMs = 60000; // at the latest after a write

    // `databasePath` empty: HistoryDatabase::defaultPath(). The file is opened by the first commit.
    explicit SampleRecorder(const QString &databasePath = {}, QObject *parent = nullptr);
    ~SampleRecorder() override;

    // Where sample times come from (UTC now by default). Called on the recording thread.
    void setClock(Clock clock) { m_clock = std::move(clock); }
    qint64 now() const { return m_clock(); }
    // The steady clock retention and the one-a-second rule are timed on (CLOCK_BOOTTIME by
    // default, which also counts a suspend). Called on the recording thread and on the recorder's.
    // Set both clocks before the first sample.
    void setSteadyClock(SteadyClock clock) { m_steady = std::move(clock); }

    // Queues the display after an applied report as a sample at the clock's time.
    void record(const report::Display &display);
    // Queues `sample` as it is.
    void add(const history::Sample &sample);

    // Commits what is queued, and waits for that (at most `timeoutMs`); true when nothing is left
    // waiting. For closing, tests and tools.
    bool sync(int timeoutMs = 30000);
    // Asks for a commit soon, without waiting.
    void flush();

    void setBatchInterval(int ms);
    int batchInterval() const { return m_batchMs.loadRelaxed(); }
    // How long to wait before trying a file that failed again (HistoryDatabase::setRetryInterval).
    void setRetryInterval(int ms);

    // Samples committed by this recorder so far, and those dropped because too many waited.
    qint64 committedCount() const { return m_committed.loadRelaxed(); }
    qint64 droppedCount() const { return m_dropped.loadRelaxed(); }
    // Samples left out because one of the same second came before them.
    qint64 thinnedCount() const { return m_thinned.loadRelaxed(); }
    // Samples stamped far ahead of the steady clock, kept but not taken as retention's "now".
    qint64 setAsideCount() const { return m_setAside.loadRelaxed(); }
    // Queued and not yet committed, and the memory they take (counted as kMaxWaitingBytes is).
    int waitingCount() const;
    qint64 waitingBytes() const;
    // What one sample counts for in waitingBytes().
    static qint64 bytesOf(const history::Sample &sample);
    // The longest of this recorder's transactions so far (a batch or a step of retention), in
    // microseconds: how long the event log's commits may have to wait for the file at most.
    qint64 longestTransactionUs() const { return m_longestUs.loadRelaxed(); }
    void resetLongestTransaction() { m_longestUs.storeRelaxed(0); }

    QString databasePath() const { return m_path; }

signals:
    // As HistoryDatabase's, from the recorder's connection (delivered on the recorder's thread).
    void writeProblem(const QString &text);
    void writeRecovered();
    void movedAside(const QString &movedTo, const QString &text);
    // A batch is in the file: `total` samples committed by this recorder so far.
    void committed(qint64 total);

private:
    friend class RecorderWorker;

    QString m_path;
    Clock m_clock;
    SteadyClock m_steady;
    QThread m_thread;
    RecorderWorker *m_worker = nullptr;

    // Shared with the worker.
    mutable QMutex m_mutex;
    QList<history::Sample> m_queue;
    qint64 m_queueBytes = 0;
    int m_inWorker = 0; // taken by the worker and not yet committed
    qint64 m_inWorkerBytes = 0;
    bool m_wakeAsked = false;
    // The one-a-second rule and retention's "now" (see above), judged as samples are queued.
    bool m_haveLast = false;
    qint64 m_lastSecond = 0;
    bool m_anchored = false;
    qint64 m_anchorTime = 0; // the newest sample in line: retention's "now"
    qint64 m_anchorSteady = 0; // the steady time it came at
    qint64 m_aheadSince = -1; // steady time of the first sample far ahead since the last in line
    QAtomicInteger<qint64> m_thinned { 0 };
    QAtomicInteger<qint64> m_setAside { 0 };
    QAtomicInteger<qint64> m_committed { 0 };
    QAtomicInteger<qint64> m_dropped { 0 };
    QAtomicInteger<int> m_batchMs { kBatchMs };
    QAtomicInteger<qint64> m_longestUs { 0 };
};
