#include "watch/transmitter_watch.h"

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

namespace {

// Reads 1 to `most` ASCII digits at `at` and moves past them; -1 when there are none.
qint64 readNumber(QStringView text, qsizetype &at, int most)
{
    qint64 value = 0;
    int digits = 0;
    while (at < text.size() && digits < most && text[at] >= u'0' && text[at] <= u'9') {
        value = value * 10 + (text[at].unicode() - u'0');
        ++at;
        ++digits;
    }
    return digits > 0 ? value : -1;
}

bool readLetters(QStringView text, qsizetype &at, QLatin1String letters)
{
    if (!text.mid(at).startsWith(letters))
        return false;
    at += letters.size();
    return true;
}

} // namespace

// "<days>D:<hours>H:<minutes>M", 1 to 7, 2 and 2 ASCII digits, nothing before and nothing after but
// one line end. Read by hand: a regular expression here would bring the expression library's
// pages and its compiled code into the panel's memory for this one pattern.
std::optional<qint64> TransmitterWatch::uptimeMinutes(QStringView text)
{
    qsizetype at = 0;
    const qint64 days = readNumber(text, at, 7);
    if (days < 0 || !readLetters(text, at, QLatin1String("D:")))
        return std::nullopt;
    const qint64 hours = readNumber(text, at, 2);
    if (hours < 0 || !readLetters(text, at, QLatin1String("H:")))
        return std::nullopt;
    const qint64 minutes = readNumber(text, at, 2);
    if (minutes < 0 || !readLetters(text, at, QLatin1String("M")))
        return std::nullopt;
    if (at < text.size() && !(at + 1 == text.size() && text[at] == u'\n'))
        return std::nullopt;
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
