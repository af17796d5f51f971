#include "watch/watch_event.h"

using Kind = WatchEvent::Kind;
using Urgency = WatchEvent::Urgency;

WatchEvent WatchEvent::make(Kind kind, const QString &detail, int alarm)
{
    WatchEvent e;
    e.kind = kind;
    e.text = watch::textOf(kind);
    e.detail = detail;
    e.urgency = watch::urgencyOf(kind);
    e.alarm = alarm;
    return e;
}

namespace watch {

QString textOf(Kind kind)
{
    switch (kind) {
    case Kind::AlarmOn:
        return QStringLiteral("alarm on");
    case Kind::AlarmOff:
        return QStringLiteral("alarm off");
    case Kind::LinkLost:
        return QStringLiteral("link lost");
    case Kind::LinkRestored:
        return QStringLiteral("link restored");
    case Kind::ReportsStopped:
        return QStringLiteral("reports stopped");
    case Kind::ReportsResumed:
        return QStringLiteral("reports resumed");
    case Kind::TransmitterRestarted:
        return QStringLiteral("transmitter restarted");
    case Kind::SettingsDownloaded:
        return QStringLiteral("settings downloaded");
    case Kind::LogoDownloaded:
        return QStringLiteral("logo downloaded");
    case Kind::PortChosen:
        return QStringLiteral("port chosen");
    case Kind::PanelStarted:
        return QStringLiteral("panel started");
    case Kind::PanelClosed:
        return QStringLiteral("panel closed");
    case Kind::StoreFailing:
        return QStringLiteral("store saves failing");
    case Kind::StoreWorking:
        return QStringLiteral("store saves working");
    case Kind::LineReopened:
        return QStringLiteral("line reopened");
    }
    return {};
}

Urgency urgencyOf(Kind kind)
{
    switch (kind) {
    case Kind::AlarmOn:
    case Kind::LinkLost:
    case Kind::ReportsStopped:
        return Urgency::Critical;
    case Kind::AlarmOff:
    case Kind::LinkRestored:
    case Kind::ReportsResumed:
    case Kind::TransmitterRestarted:
        return Urgency::Normal;
    default:
        return Urgency::None;
    }
}

bool isAction(Kind kind)
{
    return kind >= Kind::SettingsDownloaded;
}

QString alarmCaption(int index)
{
    // The indicators' captions in the order of the alarm code's bits, blanks folded.
    static const char *const captions[kAlarmCount] = {
        "AMP T ALARM",
        "SWR ALARM",
        "PSU T ALARM",
        "OVER-CURRENT ALARM",
        "RF OVERDRIVE ALARM",
    };
    return index >= 0 && index < kAlarmCount ? QString::fromLatin1(captions[index]) : QString();
}

} // namespace watch
