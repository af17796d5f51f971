#pragma once

#include "watch/watch_event.h"

#include <QMetaType>
#include <QString>

// One desktop notification as the panel means it, whoever shows it (the notification service or
// the tray icon's own message).
struct Notification {
    // What it stands in for: a notification replaces the previous one with the same key
    // ("alarm-0" to "alarm-4", "link", "reports", "restart").
    QString key;
    QString summary;
    QString body;
    WatchEvent::Urgency urgency = WatchEvent::Urgency::Normal;
    int alarm = -1; // 0 to 4 for an alarm, else -1
    int changes = 1; // the changes it tells of: more than 1 for a flapping alarm folded into one

    bool operator==(const Notification &o) const
    {
        return key == o.key && summary == o.summary && body == o.body && urgency == o.urgency
            && alarm == o.alarm && changes == o.changes;
    }
};
Q_DECLARE_METATYPE(Notification)
