#include "status/collector.h"

#include <QLatin1String>
#include <cstring>

namespace {

// Appends `n` Latin-1 bytes to `buffer` as if one at a time, dropping the oldest characters so
// that no more than `capacity` remain. Returns how many characters were dropped.
qint64 appendBounded(QString &buffer, const char *bytes, qsizetype n, qsizetype capacity)
{
    qint64 dropped = 0;
    if (n >= capacity) {
        // Everything held so far and the front of this run would be pushed out anyway.
        dropped += buffer.size() + (n - capacity);
        buffer.resize(0);
        bytes += n - capacity;
        n = capacity;
    }
    const qsizetype over = buffer.size() + n - capacity;
    if (over > 0) {
        buffer.remove(0, over);
        dropped += over;
    }
    buffer.append(QLatin1String(bytes, n));
    return dropped;
}

} // namespace

void ReportCollector::feed(
    const QByteArray &bytes, const std::function<void(const QString &report)> &onReport)
{
    // Runs between "$" are appended in one step each: the result is the same as one character at a
    // time, without a call per character.
    const char *p = bytes.constData();
    const char *const end = p + bytes.size();
    while (p < end) {
        const auto *dollar = static_cast<const char *>(std::memchr(p, '$', size_t(end - p)));
        const char *const runEnd = dollar ? dollar : end;
        if (runEnd > p)
            m_dropped += appendBounded(m_buffer, p, runEnd - p, kCapacity);
        if (!dollar)
            break;
        if (onReport)
            onReport(m_buffer);
        m_buffer.resize(0); // keeps the allocation for the next report
        p = dollar + 1;
    }
}
