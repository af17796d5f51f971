#pragma once

#include "session/session.h"
#include "station/station.h"

#include <QObject>
#include <QString>
#include <QTimer>
#include <memory>

class MetricsExporter;
class QCoreApplication;

// The panel without a window, for a site PC with no desktop: the same session, station and metrics
// as the window, driven by a 1 s timer of its own with auto read always on. What the window would
// show (events, a missing or refused port, a history file or metrics folder that cannot be
// written) comes out as lines of text, one per event or per episode of a problem, for standard
// error and so for the journal. A missing port is tried again every second until it is back.
class HeadlessMonitor : public QObject
{
    Q_OBJECT
public:
    // `metricsDirectory` from the command line; empty: the store's own, if any.
    explicit HeadlessMonitor(const QString &metricsDirectory = {}, QObject *parent = nullptr);
    ~HeadlessMonitor() override;

    // Loads the store, says what it watches, and reads the status at once and then every second.
    void start();
    // Ends the watch: no more requests, a running script ends whole, the port is let go, the store
    // saved; then finished(). Calls after the first do nothing.
    void stop();
    bool isStopping() const { return m_stopping; }

    TransmitterSession &session() { return m_session; }
    Station &station() { return m_station; }
    MetricsExporter *metrics() { return m_metrics.get(); }

    // One line for the operator (no line feed in it), with the time in front.
    static QString line(const QString &text);

signals:
    void told(const QString &line);
    void finished();

private:
    void tell(const QString &text);
    void tellPortProblem(const QString &text);
    void onReleased();

    QString m_metricsOption;
    TransmitterSession m_session;
    Station m_station { m_session };
    std::unique_ptr<MetricsExporter> m_metrics;
    QTimer m_timer;
    QString m_portTold; // the port problem told in this episode, empty while the port is open
    bool m_stopping = false;
    bool m_finished = false;
};

namespace headless {

// --headless: runs a HeadlessMonitor on `app` until SIGTERM or SIGINT, its lines on standard
// error. Returns the exit status.
int run(QCoreApplication &app, const QString &metricsDirectory);

} // namespace headless
