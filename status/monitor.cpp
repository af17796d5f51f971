#include "status/monitor.h"

StatusMonitor::StatusMonitor(QObject *parent)
    : QObject(parent)
{
    m_staleTimer.setSingleShot(true);
    connect(&m_staleTimer, &QTimer::timeout, this, &StatusMonitor::updateStale);
}

void StatusMonitor::requestSent()
{
    if (!m_unanswered.isValid())
        m_unanswered.start();
    updateStale(); // arms the timer for the rest of the interval
}

void StatusMonitor::receive(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;

    // Without a "$" and without overflow the buffer can only have grown; otherwise compare with
    // the text from before (a shallow copy, cheap until the buffer is written).
    const bool mayRestore
        = bytes.contains('$') || buffer().size() + bytes.size() > ReportCollector::kCapacity;
    const QString before = mayRestore ? buffer() : QString();

    int reports = 0;
    // A "$" after none of the fields is no report: the display, its freshness and everyone who
    // listens for reports stay as they were, so a line that sends only "$" goes stale.
    m_collector.feed(bytes, [this, &reports](const QString &text) {
        if (report::apply(text, m_display))
            ++reports;
    });

    if (!mayRestore || buffer() != before)
        emit bufferChanged();

    if (reports > 0) {
        m_lastReport = QDateTime::currentDateTime();
        m_unanswered.invalidate();
        m_staleTimer.stop();
        if (m_stale) {
            m_stale = false;
            emit staleChanged(false);
        }
        emit displayChanged();
    }
}

void StatusMonitor::clearBuffer()
{
    if (buffer().isEmpty())
        return;
    m_collector.clear();
    emit bufferChanged();
}

void StatusMonitor::setStaleAfterMs(int ms)
{
    m_staleAfterMs = ms;
    if (m_unanswered.isValid() && !m_stale)
        m_staleTimer.start(int(qMax<qint64>(0, ms - m_unanswered.elapsed())));
}

void StatusMonitor::updateStale()
{
    if (m_stale || !m_unanswered.isValid())
        return;
    const qint64 elapsed = m_unanswered.elapsed();
    if (elapsed < m_staleAfterMs) {
        // A timer that fired a little early, or an interval that was changed: wait for the rest.
        if (!m_staleTimer.isActive())
            m_staleTimer.start(int(m_staleAfterMs - elapsed));
        return;
    }
    m_stale = true;
    emit staleChanged(true);
}
