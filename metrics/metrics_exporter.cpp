#include "metrics/metrics_exporter.h"

#include "metrics/exposition.h"

#include "link/port_map.h"
#include "session/session.h"
#include "settings/record.h"
#include "settings/store.h"

QString MetricsExporter::configuredDirectory(const QString &commandLine)
{
    if (!commandLine.isEmpty())
        return commandLine;
    return SettingsStore::instance()
        .groupValue(QLatin1String(kGroup), QLatin1String(kDirectoryKey))
        .trimmed();
}

MetricsExporter::MetricsExporter(TransmitterSession &session, const QString &directory, QObject *parent)
    : QObject(parent)
    , m_session(session)
    , m_writer(directory, [this](const PromWriter::Result &result) {
        // On the writer's thread, before finish(): the exporter is still whole.
        QMetaObject::invokeMethod(
            this, [this, result] { onWritten(result); }, Qt::QueuedConnection);
    })
{
    connect(&session, &TransmitterSession::displayChanged, this, [this] {
        ++m_reports;
        write();
    });
    connect(&session, &TransmitterSession::linkChanged, this, [this] { write(); });
    PromFile(directory).removeLeftovers();
}

MetricsExporter::~MetricsExporter()
{
    m_writer.finish(PromWriter::kFinishMs);
}

void MetricsExporter::write()
{
    metrics::Snapshot s;
    s.display = m_session.display();
    s.reportsTotal = m_reports;
    s.lastReport = m_session.lastReportTime();
    s.linkUp = m_session.isLinkOpen();
    s.port = settingsRecord().COMSelected;
    s.device = s.linkUp ? m_session.openDevice() : port_map::shownEntry(s.port);
    m_submitted = m_writer.submit(metrics::render(s));
}

void MetricsExporter::onWritten(const PromWriter::Result &result)
{
    m_told = result.generation;
    if (!result.ok && !m_failing) {
        m_failing = true;
        emit problem(result.error
            + QStringLiteral(". The panel goes on without metrics and tries again at the next report."));
    } else if (result.ok && m_failing) {
        m_failing = false;
        emit recovered(QStringLiteral("The metrics are written to %1 again.").arg(m_writer.path()));
    }
}
