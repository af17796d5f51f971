#pragma once

#include <QByteArray>
#include <QString>
#include <functional>

// Collects received characters into the receive buffer until a "$" completes a report. Bytes are
// taken one at a time (Latin-1, one byte one character), so data arriving in bursts of any size
// gives the same result as one character per event. The buffer is bounded: past kCapacity
// characters without a "$", the oldest characters are dropped.
class ReportCollector
{
public:
    static constexpr int kCapacity = 4096;

    // Feeds received bytes; `onReport` runs with the buffer's text for each "$" (the "$" is never
    // stored), after which the buffer is empty and collecting starts over.
    void feed(const QByteArray &bytes, const std::function<void(const QString &report)> &onReport);

    const QString &buffer() const { return m_buffer; }
    void clear() { m_buffer.clear(); }

    // Characters dropped so far because the buffer was full.
    qint64 dropped() const { return m_dropped; }

private:
    QString m_buffer;
    qint64 m_dropped = 0;
};
