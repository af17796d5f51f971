#include "station/station.h"

#include "session/session.h"
#include "settings/store.h"

namespace {
constexpr int kUptimeField = 12; // "Uptime=" among the report's fields
constexpr int kEventWriter = 1;
constexpr int kSampleWriter = 2;
} // namespace

Station::Station(TransmitterSession &session, const QString &databasePath, QObject *parent)
    : QObject(parent)
    , m_session(session)
    , m_database(databasePath.isEmpty() ? HistoryDatabase::defaultPath() : databasePath)
    , m_recorder(m_database.path())
{
    connect(&m_database, &HistoryDatabase::writeProblem, this,
        [this](const QString &text) { noteWriteProblem(kEventWriter, text); });
    connect(&m_database, &HistoryDatabase::writeRecovered, this, [this] { m_failing &= ~kEventWriter; });
    connect(&m_database, &HistoryDatabase::movedAside, this,
        [this](const QString &, const QString &text) { emit problem(text); });
    connect(&m_recorder, &SampleRecorder::writeProblem, this,
        [this](const QString &text) { noteWriteProblem(kSampleWriter, text); });
    connect(&m_recorder, &SampleRecorder::writeRecovered, this, [this] { m_failing &= ~kSampleWriter; });
    connect(&m_recorder, &SampleRecorder::movedAside, this,
        [this](const QString &, const QString &text) { emit problem(text); });
    // The recorder's thread runs the checkpoints and checks the whole file when it opens it: the
    // event log's commits here never checkpoint, and opening here checks nothing (a check reads
    // what it checks whole, on the window's thread); only after its own write met damage does it
    // check the events, to move that file aside.
    m_database.setAutoCheckpoint(false);
    m_database.setCheckedTables({ QStringLiteral("events") });
    m_database.setCheckAtOpening(false);
    m_database.open();

    connect(&m_watch, &TransmitterWatch::event, this,
        [this](const WatchEvent &e) { m_log.append(e.text, e.detail); });

    connect(&session, &TransmitterSession::displayChanged, this, [this] {
        const report::Display &d = m_session.display();
        watch::Alarms alarms {};
        for (size_t i = 0; i < alarms.size() && i < d.alarms.size(); ++i)
            alarms[i] = d.alarms[i];
        // The uptime shown may be an earlier report's (or, after a change of port, another
        // transmitter's): only one this report carried can tell a restart.
        m_watch.report(alarms, d.has(kUptimeField) ? d.texts[kUptimeField] : QString());
        m_recorder.record(d);
    });
    connect(&session, &TransmitterSession::linkChanged, this, [this](bool open, const QString &device) {
        if (open) {
            m_device = device;
            m_watch.linkUp(device);
        }
    });
    connect(&session, &TransmitterSession::linkFailed, this, [this](LinkFailure kind, const QString &) {
        if (kind == LinkFailure::Lost || kind == LinkFailure::WriteFailed)
            m_watch.linkLost(m_device);
    });
    connect(&session, &TransmitterSession::staleChanged, this, [this](bool stale) {
        // A lost link says it all: its own event, not a second one for the silence that follows.
        if (stale && !m_watch.state().linkLost)
            m_watch.reportsStopped(m_session.lastReportTime());
        else if (!stale)
            m_watch.reportsResumed();
    });
    connect(
        &session, &TransmitterSession::amplifierDownloaded, this, [this](bool whole, const QString &sent) {
            m_watch.noteAction(WatchEvent::Kind::SettingsDownloaded,
                whole ? sent : sent + QStringLiteral(" (stopped early)"));
        });
    connect(&session, &TransmitterSession::logoDownloaded, this, [this](bool whole, const QString &sent) {
        m_watch.noteAction(
            WatchEvent::Kind::LogoDownloaded, whole ? sent : sent + QStringLiteral(" (stopped early)"));
    });
    connect(&session, &TransmitterSession::lineReopened, this,
        [this](const QString &device) { m_watch.noteAction(WatchEvent::Kind::LineReopened, device); });
    connect(&session, &TransmitterSession::portChosen, this, [this](int port, const QString &device) {
        m_watch.noteAction(WatchEvent::Kind::PortChosen, QStringLiteral("COM %1 (%2)").arg(port).arg(device));
    });

    SettingsStore &store = SettingsStore::instance();
    connect(&store, &SettingsStore::saveFailed, this,
        [this](const QString &text) { m_watch.noteAction(WatchEvent::Kind::StoreFailing, text); });
    connect(&store, &SettingsStore::saveRecovered, this,
        [this] { m_watch.noteAction(WatchEvent::Kind::StoreWorking); });
}

Station::~Station() = default;

// Both connections to the file find out about the same fault: the operator hears of it once, until
// both write again.
void Station::noteWriteProblem(int writer, const QString &text)
{
    const bool told = m_failing != 0;
    m_failing |= writer;
    if (!told)
        emit problem(text);
}
