#include "notify/notification_policy.h"

#include <chrono>

namespace {

using Kind = WatchEvent::Kind;
using Urgency = WatchEvent::Urgency;

QString clockText(const QDateTime &time)
{
    return time.toLocalTime().toString(QStringLiteral("hh:mm:ss"));
}

Notification make(const QString &key, const QString &summary, const QString &body, Urgency urgency)
{
    Notification n;
    n.key = key;
    n.summary = summary;
    n.body = body;
    n.urgency = urgency;
    return n;
}

} // namespace

NotificationPolicy::NotificationPolicy(Clock wall, SteadyClock steady)
    : m_wall(wall ? std::move(wall) : Clock([] { return QDateTime::currentDateTimeUtc(); }))
    , m_steady(steady ? std::move(steady) : SteadyClock([] {
        return qint64(std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now().time_since_epoch())
                          .count());
    }))
{
}

Notification NotificationPolicy::alarmNotification(int alarm, const QDateTime &now, bool folded) const
{
    const AlarmTrack &t = m_alarms[size_t(alarm)];
    const QString state = t.on ? QStringLiteral("on") : QStringLiteral("off");
    Notification n = make(QStringLiteral("alarm-%1").arg(alarm), watch::alarmCaption(alarm),
        folded ? QStringLiteral("Changed %1 times since %2, now %3.")
                     .arg(t.runChanges)
                     .arg(clockText(t.runStart), state)
               : QStringLiteral("Alarm %1 at %2.").arg(state, clockText(now)),
        t.on ? Urgency::Critical : Urgency::Normal);
    n.alarm = alarm;
    n.changes = folded ? t.runChanges : 1;
    return n;
}

std::optional<Notification> NotificationPolicy::decide(const WatchEvent &event)
{
    if (event.urgency == Urgency::None || !m_settings.allows(event.kind))
        return std::nullopt;
    const QDateTime now = m_wall();
    const qint64 nowMs = m_steady();

    switch (event.kind) {
    case Kind::AlarmOn:
    case Kind::AlarmOff: {
        if (event.alarm < 0 || event.alarm >= watch::kAlarmCount)
            return std::nullopt;
        AlarmTrack &t = m_alarms[size_t(event.alarm)];
        t.on = event.kind == Kind::AlarmOn;
        const bool close = t.told && nowMs - t.lastToldMs < kFoldWindowMs;
        if (close || t.folding) {
            ++t.runChanges;
        } else {
            t.runStart = now;
            t.runChanges = 1;
        }
        if (t.folding) {
            ++t.foldedChanges;
            return std::nullopt;
        }
        // On again soon after the last notification: flapping. This one is told at once, with the
        // count; the next are folded.
        const bool flapping = t.on && close;
        if (flapping) {
            t.folding = true;
            t.foldedChanges = 0;
        }
        t.told = true;
        t.lastToldMs = nowMs;
        return alarmNotification(event.alarm, now, flapping);
    }
    case Kind::LinkLost:
        return make(QStringLiteral("link"), QStringLiteral("Link to the transmitter lost"),
            QStringLiteral("No connection on %1 since %2.").arg(event.detail, clockText(now)),
            Urgency::Critical);
    case Kind::LinkRestored:
        return make(QStringLiteral("link"), QStringLiteral("Link to the transmitter restored"),
            QStringLiteral("Connected again on %1 at %2.").arg(event.detail, clockText(now)),
            Urgency::Normal);
    case Kind::ReportsStopped:
        return make(QStringLiteral("reports"), QStringLiteral("Transmitter reports stopped"),
            event.since.isValid() ? QStringLiteral("No report since %1.").arg(clockText(event.since))
                                  : QStringLiteral("No report has come yet."),
            Urgency::Critical);
    case Kind::ReportsResumed:
        return make(QStringLiteral("reports"), QStringLiteral("Transmitter reports resumed"),
            QStringLiteral("Reports come in again since %1.").arg(clockText(now)), Urgency::Normal);
    case Kind::TransmitterRestarted:
        return make(QStringLiteral("restart"), QStringLiteral("Transmitter restarted"),
            QStringLiteral("Its uptime went back: %1.").arg(event.detail), Urgency::Normal);
    default:
        return std::nullopt;
    }
}

qint64 NotificationPolicy::msUntilDue() const
{
    const qint64 nowMs = m_steady();
    qint64 due = -1;
    for (const AlarmTrack &t : m_alarms) {
        if (!t.folding)
            continue;
        const qint64 in = qMax<qint64>(0, t.lastToldMs + kFoldWindowMs - nowMs);
        if (due < 0 || in < due)
            due = in;
    }
    return due;
}

QList<Notification> NotificationPolicy::takeDue()
{
    const QDateTime now = m_wall();
    const qint64 nowMs = m_steady();
    QList<Notification> due;
    for (int i = 0; i < watch::kAlarmCount; ++i) {
        AlarmTrack &t = m_alarms[size_t(i)];
        if (!t.folding || t.lastToldMs + kFoldWindowMs > nowMs)
            continue;
        if (t.foldedChanges == 0) {
            t.folding = false; // a quiet window: the last notification still tells how it stands
            continue;
        }
        // Still flapping: told, and the next window folds again.
        t.foldedChanges = 0;
        t.lastToldMs = nowMs;
        due.append(alarmNotification(i, now, true));
    }
    return due;
}
