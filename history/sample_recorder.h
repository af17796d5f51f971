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
// recorder commits what is queued first. While the file cannot be written, samples wait (the newest
// kMaxWaiting) and the problem is told once, as the event log does.
class SampleRecorder : public QObject
{
    Q_OBJECT
public:
    using Clock = std::function<qint64()>; // milliseconds since 1970 UTC

    static constexpr int kBatchMs = 2000;
    static constexpr int kBatchRows = 64; // at most per transaction: a few milliseconds
    static constexpr int kMaxWaiting = 86400; // a day at one report a second
    static constexpr int kCheckpointMs = 60000; // at the latest after a write

    // `databasePath` empty: HistoryDatabase::defaultPath(). The file is opened by the first commit.
    explicit SampleRecorder(const QString &databasePath = {}, QObject *parent = nullptr);
    ~SampleRecorder() override;

    // Where sample times come from (UTC now by default). Called on the recording thread.
    void setClock(Clock clock) { m_clock = std::move(clock); }
    qint64 now() const { return m_clock(); }

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
    // Queued and not yet committed.
    int waitingCount() const;
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
    QThread m_thread;
    RecorderWorker *m_worker = nullptr;

    // Shared with the worker.
    mutable QMutex m_mutex;
    QList<history::Sample> m_queue;
    int m_inWorker = 0; // taken by the worker and not yet committed
    bool m_wakeAsked = false;
    QAtomicInteger<qint64> m_committed { 0 };
    QAtomicInteger<qint64> m_dropped { 0 };
    QAtomicInteger<int> m_batchMs { kBatchMs };
    QAtomicInteger<qint64> m_longestUs { 0 };
};
