#pragma once

#include "watch/watch_event.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringView>
#include <optional>

// What the panel knows of the transmitter at the moment, for the tray's image and tooltip.
struct WatchState {
    watch::Alarms alarms {}; // the indicators, true = on
    bool linkLost = false;
    QString lostDevice; // while linkLost
    bool reportsStopped = false;
    QDateTime lastReport; // the last complete report while reportsStopped (invalid: none yet)

    bool anyAlarm() const;
    bool hasLiveData() const { return !linkLost && !reportsStopped; }
    bool operator==(const WatchState &o) const
    {
        return alarms == o.alarms && linkLost == o.linkLost && lostDevice == o.lostDevice
            && reportsStopped == o.reportsStopped && lastReport == o.lastReport;
    }
};
Q_DECLARE_METATYPE(WatchState)

// Turns the stream of applied reports, link states and operator actions into events, one per
// transition, so that the log, the notifications and the tray all tell the same story. It knows
// nothing of the wire: whoever owns the link calls its slots.
//
// Alarms follow the indicators: the caller passes their states after each applied report (a report
// whose alarm code did not decode keeps the previous states), and the watch starts with all off,
// so alarms already on at the first report are told and alarms off are not. The transmitter
// counts as restarted when its uptime ("0012D:03H:45M", days, hours, minutes) goes backwards; an
// uptime text that does not read as one changes nothing.
class TransmitterWatch : public QObject
{
    Q_OBJECT
public:
    explicit TransmitterWatch(QObject *parent = nullptr);

    const WatchState &state() const { return m_state; }

    // Minutes of an uptime text, or nothing when it is not "<days>D:<hours>H:<minutes>M" with
    // hours below 24 and minutes below 60.
    static std::optional<qint64> uptimeMinutes(QStringView text);

public slots:
    // After each applied report: the five indicators (alarm code bits 0 to 4) and the uptime shown.
    void report(const watch::Alarms &alarms, const QString &uptimeText);
    void linkUp(const QString &device);
    void linkLost(const QString &device);
    // Requests go out and no complete report came for a while; `lastReportTime` is when the last
    // one came (invalid when none has yet).
    void reportsStopped(const QDateTime &lastReportTime);
    void reportsResumed();
    // An operator's action (the kinds from SettingsDownloaded on), with what it did in words, for
    // example the values sent. Other kinds are ignored.
    void noteAction(WatchEvent::Kind kind, const QString &detail = {});

signals:
    void event(const WatchEvent &event);
    void stateChanged(const WatchState &state);

private:
    void tell(WatchEvent::Kind kind, const QString &detail = {}, int alarm = -1);

    WatchState m_state;
    std::optional<qint64> m_uptime; // minutes, from the last report that had a readable one
    QString m_uptimeText;
};
