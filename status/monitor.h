#pragma once

#include "link/port_check.h"
#include "status/collector.h"
#include "status/report.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <functional>

class SerialLink;

// The status monitor: the status request ("Read status" and the auto-read tick), the collection of
// the answer and the display model the window copies into its controls. The window owns it.
class StatusMonitor : public QObject
{
    Q_OBJECT
public:
    // Once requests have gone out for this long with no complete report, the display is stale.
    static constexpr int kStaleAfterMs = 5000;

    StatusMonitor(SerialLink &link, PortCheck &check, QObject *parent = nullptr);

    // Command4_Click: port check, then 00 "FM" 01, progress "Requesting DATA from the
    // transmitter... 60%" / 12, then " " 02, then "Ready" / 0. Does not wait for the answer.
    void request(CheckOrigin origin = CheckOrigin::Command);

    // Timer1_Timer: requests when auto-read is on (the record's AutoRead, which Check1 stores on
    // every change) and `m_mayTick` allows it (no download running, no dialog in front).
    void tick();
    void setTickGate(std::function<bool()> mayTick) { m_mayTick = std::move(mayTick); }

    // Bytes from the link (connected to SerialLink::received by the constructor).
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
    void progress(const QString &text, int value);
    void displayChanged();   // a complete report was applied
    void bufferChanged();    // the receive buffer's text changed
    void staleChanged(bool stale);

private:
    void updateStale();

    SerialLink &m_link;
    PortCheck &m_check;
    ReportCollector m_collector;
    report::Display m_display = report::Display::initial();
    std::function<bool()> m_mayTick;
    QDateTime m_lastReport;
    QElapsedTimer m_unanswered; // runs from the first request after the last report
    bool m_stale = false;
    int m_staleAfterMs = kStaleAfterMs;
    QTimer m_staleTimer; // fires when the unanswered time runs out with no request to notice it
};
