#include "notify/notification_settings.h"

#include "settings/store.h"

namespace {

const char *const kEnabled = "Enabled";
const char *const kAlarms = "Alarms";
const char *const kLink = "Link";
const char *const kReports = "Reports";
const char *const kRestart = "Restart";

bool flag(const SettingsStore &store, const char *key)
{
    const QString value = store.groupValue(QLatin1String(NotificationSettings::kGroup), QLatin1String(key))
                              .trimmed()
                              .toLower();
    return !(value == QLatin1String("false") || value == QLatin1String("0") || value == QLatin1String("no")
        || value == QLatin1String("off"));
}

} // namespace

bool NotificationSettings::allows(WatchEvent::Kind kind) const
{
    if (!enabled)
        return false;
    using Kind = WatchEvent::Kind;
    switch (kind) {
    case Kind::AlarmOn:
    case Kind::AlarmOff:
        return alarms;
    case Kind::LinkLost:
    case Kind::LinkRestored:
        return link;
    case Kind::ReportsStopped:
    case Kind::ReportsResumed:
        return reports;
    case Kind::TransmitterRestarted:
        return restart;
    default:
        return false; // the operator's own actions are never notified
    }
}

NotificationSettings NotificationSettings::load(const SettingsStore &store)
{
    NotificationSettings s;
    s.enabled = flag(store, kEnabled);
    s.alarms = flag(store, kAlarms);
    s.link = flag(store, kLink);
    s.reports = flag(store, kReports);
    s.restart = flag(store, kRestart);
    return s;
}

bool NotificationSettings::addDefaults(SettingsStore &store)
{
    const QString on = QStringLiteral("true");
    return store.addMissingGroupKeys(QLatin1String(kGroup),
        { { QLatin1String(kEnabled), on }, { QLatin1String(kAlarms), on }, { QLatin1String(kLink), on },
            { QLatin1String(kReports), on }, { QLatin1String(kRestart), on } });
}
