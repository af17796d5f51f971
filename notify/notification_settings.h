#pragma once

#include "watch/watch_event.h"

class SettingsStore;

// Which events become desktop notifications: the group [Notifications] of the settings store,
// beside the record's keys and never among them. Each key is true or false; a missing or
// unreadable value counts as true, so everything is told until the operator says otherwise.
struct NotificationSettings {
    static constexpr const char *kGroup = "Notifications";

    bool enabled = true; // Enabled: any notification at all
    bool alarms = true; // Alarms: each alarm on and off
    bool link = true; // Link: link lost and restored
    bool reports = true; // Reports: reports stopped and resumed
    bool restart = true; // Restart: the transmitter restarted

    bool allows(WatchEvent::Kind kind) const;

    static NotificationSettings load(const SettingsStore &store);
    // Writes the keys the store file lacks, with their defaults, so that the operator finds them.
    // False when the file could not be written.
    static bool addDefaults(SettingsStore &store);
};
