#pragma once

#include <QDateTime>
#include <QMetaType>
#include <QString>
#include <array>

// One thing worth telling about the transmitter or the panel: a transition seen by the watch, or an
// operator's action. `text` is what the event log stores in its event column.
struct WatchEvent {
    enum class Kind {
        // Transitions.
        AlarmOn,
        AlarmOff,
        LinkLost,
        LinkRestored,
        ReportsStopped,
        ReportsResumed,
        TransmitterRestarted,
        // The operator's actions.
        SettingsDownloaded,
        LogoDownloaded,
        PortChosen,
        PanelStarted,
        PanelClosed,
        StoreFailing,
        StoreWorking,
        LineReopened, // the line went silent although requests went out: the port was opened afresh
    };
    // How a desktop notification should present it; None: not notified at all.
    enum class Urgency { None, Normal, Critical };

    Kind kind = Kind::PanelStarted;
    QString text; // "alarm on", "link lost", ...
    QString detail; // the alarm's caption, the device, the values sent, ...
    Urgency urgency = Urgency::None;
    int alarm = -1; // 0 to 4 for alarm events (the alarm code's bit), else -1
    QDateTime since; // reports stopped: when the last report came (invalid: none yet)

    // An event of `kind` with its text and urgency.
    static WatchEvent make(Kind kind, const QString &detail = {}, int alarm = -1);

    bool operator==(const WatchEvent &o) const
    {
        return kind == o.kind && text == o.text && detail == o.detail && urgency == o.urgency
            && alarm == o.alarm && since == o.since;
    }
};
Q_DECLARE_METATYPE(WatchEvent)

namespace watch {

constexpr int kAlarmCount = 5;
using Alarms = std::array<bool, kAlarmCount>;

// The log's text of each kind: "alarm on", "alarm off", "link lost", "link restored",
// "reports stopped", "reports resumed", "transmitter restarted", "settings downloaded",
// "logo downloaded", "port chosen", "panel started", "panel closed", "store saves failing",
// "store saves working", "line reopened".
QString textOf(WatchEvent::Kind kind);
WatchEvent::Urgency urgencyOf(WatchEvent::Kind kind);
bool isAction(WatchEvent::Kind kind);

// The caption of alarm `index` (the alarm code's bit, 0 to 4) with its runs of blanks folded to
// one: "AMP T ALARM", "SWR ALARM", "PSU T ALARM", "OVER-CURRENT ALARM", "RF OVERDRIVE ALARM".
QString alarmCaption(int index);

} // namespace watch
