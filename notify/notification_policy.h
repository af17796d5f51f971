#pragma once

#include "notify/notification.h"
#include "notify/notification_settings.h"
#include "watch/watch_event.h"

#include <QDateTime>
#include <QList>
#include <array>
#include <functional>
#include <optional>

// Decides which events become desktop notifications and what they say, so that the desktop hears
// of every change without being flooded. Every notification of an alarm replaces the previous one
// of that alarm (same key). An alarm that comes on again within kFoldWindowMs of its last
// notification is flapping: that notification, sent at once, says how often the alarm changed
// since the run of changes began; further changes are only counted, and one notification at the
// end of each kFoldWindowMs that saw changes tells the count and how the alarm stands. Pure logic
// with clocks of the caller's: the caller asks for the folded ones when msUntilDue() has passed.
//
// The windows are timed on a steady clock, never on the wall clock: a wall clock set back two hours
// would otherwise keep a flapping alarm silent for two hours, and one set ahead would end every
// window at once. The wall clock only gives the times the texts tell.
class NotificationPolicy
{
public:
    // The wall clock, for the texts ("at 10:00:00", "since 09:58:12").
    using Clock = std::function<QDateTime()>;
    // A steady clock in milliseconds, which nobody sets: times the folding windows.
    using SteadyClock = std::function<qint64()>;
    static constexpr qint64 kFoldWindowMs = 60000;

    // Empty clocks: the real ones (the system's time, and its monotonic clock).
    explicit NotificationPolicy(Clock wall = {}, SteadyClock steady = {});

    void setSettings(const NotificationSettings &settings) { m_settings = settings; }
    const NotificationSettings &settings() const { return m_settings; }

    // The notification to show for `event` now; nothing for the operator's actions, kinds turned
    // off, and changes of a flapping alarm (told later by takeDue()).
    std::optional<Notification> decide(const WatchEvent &event);

    // In how many milliseconds of the steady clock the next folded notification is due (0: now);
    // -1 when none is waiting.
    qint64 msUntilDue() const;
    // The folded notifications due by now, in alarm order.
    QList<Notification> takeDue();

private:
    struct AlarmTrack {
        bool on = false; // as last seen
        bool told = false; // told at least once
        qint64 lastToldMs = 0; // when last told, on the steady clock
        QDateTime
            runStart; // the first change of the current run (changes less than a window apart), for the text
        int runChanges = 0; // changes since runStart
        bool folding = false; // flapping: changes until lastToldMs + kFoldWindowMs are counted, not told
        int foldedChanges = 0; // changes counted since lastTold
    };

    Notification alarmNotification(int alarm, const QDateTime &now, bool folded) const;

    Clock m_wall;
    SteadyClock m_steady;
    NotificationSettings m_settings;
    std::array<AlarmTrack, watch::kAlarmCount> m_alarms;
};
