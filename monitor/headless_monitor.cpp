#include "monitor/headless_monitor.h"

#include "app/stop_signals.h"

#include "link/port_map.h"
#include "metrics/metrics_exporter.h"
#include "settings/record.h"
#include "settings/store.h"

#include <QCoreApplication>
#include <QDateTime>

#include <csignal>
#include <cstdio>

HeadlessMonitor::HeadlessMonitor(const QString &metricsDirectory, QObject *parent)
    : QObject(parent)
    , m_metricsOption(metricsDirectory)
{
    m_session.setAutoRead(true);
    m_timer.setInterval(1000);
    connect(&m_timer, &QTimer::timeout, &m_session, &TransmitterSession::tick);

    connect(&m_station.watch(), &TransmitterWatch::event, this, [this](const WatchEvent &e) {
        tell(e.detail.isEmpty() ? e.text : e.text + QStringLiteral(": ") + e.detail);
    });
    connect(&m_station, &Station::problem, this, &HeadlessMonitor::tell);

    connect(&m_session, &TransmitterSession::missingPort, this, [this] {
        const int port = settingsRecord().COMSelected;
        tellPortProblem(m_session.link().lastErrorText()
            + QStringLiteral(". Plug the adapter in, or set COM%1 in the group [Ports] of %2 to its device "
                             "(the key COMSelected chooses the port). Trying again every second.")
                  .arg(port)
                  .arg(SettingsStore::instance().filePath()));
    });
    connect(&m_session, &TransmitterSession::linkProblem, this, [this](const QString &text) {
        tellPortProblem(text + QStringLiteral(" Trying again every second."));
    });
    connect(&m_session, &TransmitterSession::linkFailed, this, [this](LinkFailure kind, const QString &text) {
        // A lost link is told by its event; a line setting a device server refused, here.
        if (kind == LinkFailure::SettingRejected)
            tell(text);
    });
    connect(&m_session, &TransmitterSession::linkChanged, this, [this](bool open) {
        if (open)
            m_portTold.clear(); // a later failure is a new episode, told again
    });
    connect(&m_session, &TransmitterSession::released, this, &HeadlessMonitor::onReleased);

    SettingsStore &store = SettingsStore::instance();
    connect(&store, &SettingsStore::loadProblem, this, &HeadlessMonitor::tell);
    connect(&store, &SettingsStore::saveFailed, this, &HeadlessMonitor::tell);
}

HeadlessMonitor::~HeadlessMonitor() = default;

QString HeadlessMonitor::line(const QString &text)
{
    QString one = text;
    one.replace(QLatin1Char('\n'), QLatin1String("\\n")).replace(QLatin1Char('\r'), QLatin1String("\\r"));
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODate) + QLatin1Char(' ') + one;
}

void HeadlessMonitor::tell(const QString &text)
{
    emit told(line(text));
}

// Told once per episode: the session says it again at every tick that finds the port unusable.
void HeadlessMonitor::tellPortProblem(const QString &text)
{
    if (text == m_portTold)
        return;
    m_portTold = text;
    tell(text);
}

void HeadlessMonitor::start()
{
    LoadSettings();
    port_map::writeMissingDefaults();
    const int port = settingsRecord().COMSelected;
    QString watching = QStringLiteral("Watching COM %1 (%2) once a second, settings in %3")
                           .arg(port)
                           .arg(port_map::shownEntry(port), SettingsStore::instance().filePath());

    const QString directory = MetricsExporter::configuredDirectory(m_metricsOption);
    if (!directory.isEmpty()) {
        m_metrics = std::make_unique<MetricsExporter>(m_session, directory);
        connect(m_metrics.get(), &MetricsExporter::problem, this, &HeadlessMonitor::tell);
        connect(m_metrics.get(), &MetricsExporter::recovered, this, &HeadlessMonitor::tell);
        watching += QStringLiteral(", metrics in %1").arg(m_metrics->filePath());
    }
    tell(watching + QLatin1Char('.'));
    if (m_metrics)
        m_metrics->write();
    m_station.noteStarted();
    m_session.tick();
    m_timer.start();
}

void HeadlessMonitor::stop()
{
    if (m_stopping)
        return;
    m_stopping = true;
    m_timer.stop();
    m_station.noteClosed();
    m_session.shutDown(); // released() at once when nothing runs, else when the script has ended
}

void HeadlessMonitor::onReleased()
{
    if (m_finished)
        return;
    m_finished = true;
    SaveSettings();
    emit finished();
}

namespace headless {

int run(QCoreApplication &app, const QString &metricsDirectory)
{
    // A journal that goes away must not end the watch: lines written to nobody are lost, that is all.
    std::signal(SIGPIPE, SIG_IGN);
    StopSignals signals_({ SIGTERM, SIGINT });
    HeadlessMonitor monitor(metricsDirectory);
    QObject::connect(&monitor, &HeadlessMonitor::told, [](const QString &line) {
        std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
        std::fflush(stderr);
    });
    QObject::connect(&signals_, &StopSignals::received, &monitor, [&monitor](int signal) {
        if (!monitor.isStopping())
            std::fprintf(stderr, "%s\n",
                HeadlessMonitor::line(QStringLiteral("%1: stopping.")
                                          .arg(QLatin1String(signal == SIGINT ? "SIGINT" : "SIGTERM")))
                    .toLocal8Bit()
                    .constData());
        monitor.stop();
    });
    QObject::connect(
        &monitor, &HeadlessMonitor::finished, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    monitor.start();
    return app.exec();
}

} // namespace headless
