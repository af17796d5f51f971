#pragma once

#include "status/collector.h"
#include "status/report.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

// The receiving half of the status monitor: the collection of whatever the transmitter sends, the
// display model applied from each complete report, and whether requests are going unanswered. The
// request itself is a script the session runs; it tells this monitor when one went out.
class StatusMonitor : public QObject
{
    Q_OBJECT
public:
    // Once requests have gone out for this long with no complete report, the display is stale. A
    // "$" after none of the report's fields is no report.
    static constexpr int kStaleAfterMs = 5000;

    explicit StatusMonitor(QObject *parent = nullptr);

    // A status request went out: from now on the display goes stale unless a report completes.
    void requestSent();
    // Once a second: notices a stale display even when no request goes out any more.
    void tick() { updateStale(); }

    // Bytes from the link, as the session hands them on.
    void receive(const QByteArray &bytes);

    // "Clear": empties the receive buffer.
    void clearBuffer();

    const report::Display &display() const { return m_display; }
    const QString &buffer() const { return m_collector.buffer(); }
    const ReportCollector &collector() const { return m_collector; }

    bool isStale() const { return m_stale; }
    // Shortens the stale interval (kStaleAfterMs by default), for tests.
    void setStaleAfterMs(int ms);
    int staleAfterMs() const { return m_staleAfterMs; }
    QDateTime lastReportTime() const { return m_lastReport; }

signals:
    void displayChanged(); // a complete report that carried at least one field was applied
    void bufferChanged(); // the receive buffer's text changed
    void staleChanged(bool stale);

private:
    void updateStale();

    ReportCollector m_collector;
    report::Display m_display = report::Display::initial();
    QDateTime m_lastReport;
    QElapsedTimer m_unanswered; // runs from the first request after the last report
    bool m_stale = false;
    int m_staleAfterMs = kStaleAfterMs;
    QTimer m_staleTimer; // fires when the unanswered time runs out with no request to notice it
};
