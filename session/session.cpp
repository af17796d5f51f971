#include "session/session.h"

#include "config/scripts.h"
#include "link/link_factory.h"
#include "link/port_map.h"
#include "settings/record.h"

// A serial link until a port check finds an entry that asks for another kind.
TransmitterSession::TransmitterSession(QObject *parent)
    : QObject(parent)
    , m_link(link_factory::make(QString()))
{
    connect(&m_runner, &ScriptRunner::progress, this, &TransmitterSession::progress);
    connect(&m_runner, &ScriptRunner::runningChanged, this, &TransmitterSession::onRunningChanged);
    connect(&m_runner, &ScriptRunner::finished, this, [this] { onScriptEnded(true); });
    connect(&m_runner, &ScriptRunner::failed, this, [this] { onScriptEnded(false); });

    connect(&m_check, &PortCheck::missingPort, this, &TransmitterSession::missingPort);
    connect(&m_check, &PortCheck::linkProblem, this, &TransmitterSession::linkProblem);
    connectLink();

    connect(&m_monitor, &StatusMonitor::displayChanged, this, &TransmitterSession::displayChanged);
    connect(&m_monitor, &StatusMonitor::bufferChanged, this, &TransmitterSession::bufferChanged);
    connect(&m_monitor, &StatusMonitor::staleChanged, this, &TransmitterSession::onStale);
}

TransmitterSession::~TransmitterSession() = default;

void TransmitterSession::connectLink()
{
    TransmitterLink *link = m_link.get();
    connect(link, &TransmitterLink::failed, this, [this](LinkFailure kind, const QString &text) {
        // A server that cannot be reached, or that turns the connection away, is told as a port
        // check tells a busy port: the link was never up, so nothing was lost.
        if (kind == LinkFailure::Unreachable || kind == LinkFailure::Busy)
            emit linkProblem(text);
        else
            emit linkFailed(kind, text);
    });
    connect(link, &TransmitterLink::openChanged, this,
        [this, link](bool open) { emit linkChanged(open, open ? link->openDevicePath() : QString()); });
    connect(link, &TransmitterLink::received, this, [this](const QByteArray &bytes) {
        m_sinceByte.start();
        m_monitor.receive(bytes);
    });
}

void TransmitterSession::fitLink(const QString &entry)
{
    if (m_link->carries(entry) || m_link->state() != LinkState::Closed || m_runner.isRunning())
        return;
    std::unique_ptr<TransmitterLink> fresh = link_factory::make(entry);
    m_check.setLink(*fresh);
    m_runner.setLink(*fresh);
    m_link->disconnect(this);
    m_link = std::move(fresh);
    connectLink();
}

// The port and its device come from the record and the port map as they are now; the link itself
// knows neither.
CheckResult TransmitterSession::check(CheckOrigin origin)
{
    const int port = settingsRecord().COMSelected;
    const QString entry = port_map::devicePath(port);
    fitLink(entry);
    return m_check.run(origin, port, entry);
}

void TransmitterSession::startUp()
{
    if (!m_shutDown)
        check(CheckOrigin::Startup);
}

TransmitterSession::Outcome TransmitterSession::run(Script kind, const scripts::Script &script)
{
    m_script = kind;
    if (!m_runner.start(script))
        return Outcome::Busy;
    return Outcome::Started;
}

TransmitterSession::Outcome TransmitterSession::requestStatus(CheckOrigin origin)
{
    if (m_shutDown)
        return Outcome::ShutDown;
    if (m_runner.isRunning())
        return Outcome::Busy;
    if (check(origin) != CheckResult::Ready)
        return Outcome::NoPort;
    m_monitor.requestSent();
    return run(Script::Status, scripts::statusRequest());
}

TransmitterSession::Outcome TransmitterSession::readStatus()
{
    return requestStatus(CheckOrigin::Command);
}

void TransmitterSession::tick()
{
    if (!m_shutDown && m_autoRead && !m_runner.isRunning() && !(m_tickHeld && m_tickHeld()))
        requestStatus(CheckOrigin::Tick);
    m_monitor.tick();
}

TransmitterSession::Outcome TransmitterSession::downloadAmplifier()
{
    if (m_shutDown)
        return Outcome::ShutDown;
    if (m_runner.isRunning())
        return Outcome::Busy;
    if (check(CheckOrigin::Command) != CheckResult::Ready)
        return Outcome::NoPort;
    const auto built = scripts::amplifier(settingsRecord());
    if (const QString *error = std::get_if<QString>(&built)) {
        emit refused(*error);
        return Outcome::Refused;
    }
    const SettingsRecord &r = settingsRecord();
    m_sent = QStringLiteral("TXPower=%1, SWRAlarm=%2, AmpTempAlarm=%3, VoltageAlarm=%4, CurrentAlarm=%5, "
                            "AutoFanTemp=%6")
                 .arg(r.TXPower)
                 .arg(r.SWRAlarm)
                 .arg(r.AmpTempAlarm)
                 .arg(r.VoltageAlarm)
                 .arg(r.CurrentAlarm)
                 .arg(r.AutoFanTemp);
    return run(Script::Amplifier, std::get<scripts::Script>(built));
}

TransmitterSession::Outcome TransmitterSession::downloadLogo()
{
    if (m_shutDown)
        return Outcome::ShutDown;
    if (m_runner.isRunning())
        return Outcome::Busy;
    if (check(CheckOrigin::Command) != CheckResult::Ready)
        return Outcome::NoPort;
    m_sent = QStringLiteral("\"%1\" / \"%2\"").arg(settingsRecord().LogoLine1, settingsRecord().LogoLine2);
    return run(Script::Logo, scripts::logo(settingsRecord()));
}

void TransmitterSession::applyPortChoice()
{
    if (m_shutDown)
        return;
    m_check.portChosen();
    check(CheckOrigin::PortChoice);
    const int port = settingsRecord().COMSelected;
    emit portChosen(port, port_map::shownEntry(port));
}

void TransmitterSession::releasePort()
{
    if (m_link->state() == LinkState::Closed)
        return;
    if (m_runner.isRunning())
        m_closeAfterScript = true;
    else
        m_link->close();
}

void TransmitterSession::shutDown()
{
    if (m_shutDown)
        return;
    m_shutDown = true;
    if (m_runner.isRunning()) {
        m_closeAfterScript = true; // onRunningChanged closes the port and says released()
        return;
    }
    m_link->close();
    emit released();
}

void TransmitterSession::onRunningChanged(bool running)
{
    // A status request starts and ends within the call that asked for it: only the downloads, which
    // hold the wire for seconds, are told to the window.
    const bool download = m_script != Script::Status;
    if (!running) {
        m_ended = m_script;
        m_script = Script::None;
        if (m_closeAfterScript) {
            m_closeAfterScript = false;
            m_link->close();
        }
    }
    if (download)
        emit runningChanged(running);
    if (!running && m_shutDown)
        emit released();
}

void TransmitterSession::onScriptEnded(bool whole)
{
    const Script ended = m_ended;
    m_ended = Script::None;
    emit scriptEnded(whole);
    if (ended == Script::Amplifier)
        emit amplifierDownloaded(whole, m_sent);
    else if (ended == Script::Logo)
        emit logoDownloaded(whole, m_sent);
}

// A line that stays silent although requests go out: the transmitter may be off, or the serial layer
// may have stopped delivering (an older serial library could take a read of nothing for an error and
// disable its read notification, the port still looking open). Opening the port afresh costs a
// moment and settles the second case; it is done once per silent episode, and said.
void TransmitterSession::onStale(bool stale)
{
    if (!stale) {
        m_reopenedThisEpisode = false;
    } else if (!m_reopenedThisEpisode && !m_shutDown && m_link->isOpen() && !m_runner.isRunning()
        && (!m_sinceByte.isValid() || m_sinceByte.elapsed() >= m_monitor.staleAfterMs())) {
        m_reopenedThisEpisode = true;
        const QString device = m_link->openDevicePath();
        if (m_link->recoverFromSilence()) {
            check(CheckOrigin::Tick);
            emit lineReopened(device);
        }
    }
    emit staleChanged(stale);
}
