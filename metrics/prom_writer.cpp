#include "metrics/prom_writer.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

struct PromWriter::Shared {
    explicit Shared(const QString &directory)
        : file(directory)
    {
    }

    std::mutex mutex;
    std::condition_variable wake; // a snapshot or the stop for the thread
    std::condition_variable idle; // a write ended, for finish()
    std::optional<QByteArray> pending;
    quint64 pendingGeneration = 0;
    quint64 generations = 0;
    quint64 replaced = 0;
    bool busy = false;
    bool stopping = false;
    std::function<void(const Result &)> done;
    PromFile file;
};

PromWriter::PromWriter(const QString &directory, std::function<void(const Result &)> done)
    : m_shared(std::make_shared<Shared>(directory))
    , m_path(m_shared->file.path())
{
    m_shared->done = std::move(done);
    m_thread = std::thread([shared = m_shared] {
        std::unique_lock<std::mutex> lock(shared->mutex);
        for (;;) {
            shared->wake.wait(lock, [&] { return shared->stopping || shared->pending.has_value(); });
            if (!shared->pending)
                break; // stopping, with everything written
            const QByteArray text = std::move(*shared->pending);
            const quint64 generation = shared->pendingGeneration;
            shared->pending.reset();
            shared->busy = true;
            lock.unlock();
            Result result;
            result.generation = generation;
            result.ok = shared->file.write(text, &result.error);
            lock.lock();
            shared->busy = false;
            if (shared->done)
                shared->done(result);
            shared->idle.notify_all();
        }
    });
}

PromWriter::~PromWriter()
{
    finish(kFinishMs);
}

quint64 PromWriter::submit(QByteArray text)
{
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    if (m_shared->pending)
        ++m_shared->replaced;
    m_shared->pending = std::move(text);
    m_shared->pendingGeneration = ++m_shared->generations;
    m_shared->wake.notify_one();
    return m_shared->pendingGeneration;
}

quint64 PromWriter::replaced() const
{
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    return m_shared->replaced;
}

bool PromWriter::finish(int timeoutMs)
{
    if (!m_thread.joinable())
        return true;
    std::unique_lock<std::mutex> lock(m_shared->mutex);
    m_shared->stopping = true;
    m_shared->wake.notify_one();
    const bool written = m_shared->idle.wait_for(
        lock, std::chrono::milliseconds(timeoutMs), [&] { return !m_shared->pending && !m_shared->busy; });
    m_shared->done = nullptr; // whoever waits for results is going away
    m_shared->pending.reset();
    lock.unlock();
    if (written)
        m_thread.join();
    else
        m_thread.detach(); // blocked in the folder: it ends when the write returns
    return written;
}
