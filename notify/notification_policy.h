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
// with a clock of the caller's: the caller asks for the folded ones at nextDue().
class NotificationPolicy
{
public:
    using Clock = std::function<QDateTime()>;
    static constexpr qint64 kFoldWindowMs = 60000;

    // `clock` empty: the real time.
    explicit NotificationPolicy(Clock clock = {});

    void setSettings(const NotificationSettings &settings) { m_settings = settings; }
    const NotificationSettings &settings() const { return m_settings; }

    // The notification to show for `event` now; nothing for the operator's actions, kinds turned
    // off, and changes of a flapping alarm (told later by takeDue()).
    std::optional<Notification> decide(const WatchEvent &event);

    // When the next folded notification is due; invalid when none is waiting.
    QDateTime nextDue() const;
    // The folded notifications due by now, in alarm order.
    QList<Notification> takeDue();

private:
    struct AlarmTrack {
        bool on = false; // as last seen
        QDateTime lastTold; // invalid: never told
        QDateTime runStart; // the first change of the current run (changes less than a window apart)
        int runChanges = 0; // changes since runStart
        bool folding = false; // flapping: changes until lastTold + kFoldWindowMs are counted, not told
        int foldedChanges = 0; // changes counted since lastTold
    };

    Notification alarmNotification(int alarm, const QDateTime &now, bool folded) const;

    Clock m_clock;
    NotificationSettings m_settings;
    std::array<AlarmTrack, watch::kAlarmCount> m_alarms;
};
