#include "watch/transmitter_watch.h"

#include <QRegularExpression>

bool WatchState::anyAlarm() const
{
    for (bool on : alarms) {
        if (on)
            return true;
    }
    return false;
}

TransmitterWatch::TransmitterWatch(QObject *parent)
    : QObject(parent)
{
    qRegisterMetaType<WatchEvent>();
    qRegisterMetaType<WatchState>();
}

std::optional<qint64> TransmitterWatch::uptimeMinutes(QStringView text)
{
    static const QRegularExpression pattern(QStringLiteral("^(\\d{1,7})D:(\\d{1,2})H:(\\d{1,2})M$"));
    const QRegularExpressionMatch m = pattern.match(text.toString());
    if (!m.hasMatch())
        return std::nullopt;
    const qint64 days = m.capturedView(1).toLongLong();
    const qint64 hours = m.capturedView(2).toLongLong();
    const qint64 minutes = m.capturedView(3).toLongLong();
    if (hours >= 24 || minutes >= 60)
        return std::nullopt;
    return (days * 24 + hours) * 60 + minutes;
}

void TransmitterWatch::tell(WatchEvent::Kind kind, const QString &detail, int alarm)
{
    emit event(WatchEvent::make(kind, detail, alarm));
}

void TransmitterWatch::report(const watch::Alarms &alarms, const QString &uptimeText)
{
    const WatchState before = m_state;
    // A report is the proof that reports come again, whoever else says so.
    if (m_state.reportsStopped) {
        m_state.reportsStopped = false;
        m_state.lastReport = QDateTime();
        tell(WatchEvent::Kind::ReportsResumed);
    }

    if (const std::optional<qint64> minutes = uptimeMinutes(uptimeText)) {
        if (m_uptime && *minutes < *m_uptime) {
            tell(WatchEvent::Kind::TransmitterRestarted,
                QStringLiteral("uptime %1 after %2").arg(uptimeText, m_uptimeText));
        }
        m_uptime = minutes;
        m_uptimeText = uptimeText;
    }

    for (int i = 0; i < watch::kAlarmCount; ++i) {
        if (alarms[size_t(i)] == m_state.alarms[size_t(i)])
            continue;
        m_state.alarms[size_t(i)] = alarms[size_t(i)];
        tell(alarms[size_t(i)] ? WatchEvent::Kind::AlarmOn : WatchEvent::Kind::AlarmOff,
            watch::alarmCaption(i), i);
    }
    if (!(m_state == before))
        emit stateChanged(m_state);
}

void TransmitterWatch::linkUp(const QString &device)
{
    if (!m_state.linkLost)
        return;
    m_state.linkLost = false;
    m_state.lostDevice.clear();
    tell(WatchEvent::Kind::LinkRestored, device);
    emit stateChanged(m_state);
}

void TransmitterWatch::linkLost(const QString &device)
{
    // Once per loss; the same loss seen again by the next attempt is no news, another device is.
    if (m_state.linkLost && m_state.lostDevice == device)
        return;
    m_state.linkLost = true;
    m_state.lostDevice = device;
    tell(WatchEvent::Kind::LinkLost, device);
    emit stateChanged(m_state);
}

void TransmitterWatch::reportsStopped(const QDateTime &lastReportTime)
{
    if (m_state.reportsStopped)
        return;
    m_state.reportsStopped = true;
    m_state.lastReport = lastReportTime;
    WatchEvent e = WatchEvent::make(WatchEvent::Kind::ReportsStopped,
        lastReportTime.isValid()
            ? QStringLiteral("last report %1").arg(lastReportTime.toUTC().toString(Qt::ISODateWithMs))
            : QStringLiteral("no report yet"));
    e.since = lastReportTime;
    emit event(e);
    emit stateChanged(m_state);
}

void TransmitterWatch::reportsResumed()
{
    if (!m_state.reportsStopped)
        return;
    m_state.reportsStopped = false;
    m_state.lastReport = QDateTime();
    tell(WatchEvent::Kind::ReportsResumed);
    emit stateChanged(m_state);
}

void TransmitterWatch::noteAction(WatchEvent::Kind kind, const QString &detail)
{
    if (!watch::isAction(kind))
        return;
    // Another port may lead to another transmitter, whose uptime says nothing about this one's.
    if (kind == WatchEvent::Kind::PortChosen) {
        m_uptime.reset();
        m_uptimeText.clear();
    }
    tell(kind, detail);
}
