#pragma once

#include "notify/notification.h"
#include "notify/notification_policy.h"

#include <QObject>
#include <QTimer>

// Runs the notification policy in an event loop: events in, notifications out, the folded ones of
// a flapping alarm when they are due. Whoever shows them (the desktop service or the tray)
// listens to notification().
class NotificationScheduler : public QObject
{
    Q_OBJECT
public:
    // The clocks of the policy (empty: the real ones). Its timer, like the steady clock, is not
    // moved by a change of the system's time.
    explicit NotificationScheduler(NotificationPolicy::Clock wall = {},
        NotificationPolicy::SteadyClock steady = {}, QObject *parent = nullptr);

    NotificationPolicy &policy() { return m_policy; }

    // While quiet (the main window is the active window, and shows it all), events still pass
    // through the policy but nothing is sent.
    void setQuiet(bool quiet) { m_quiet = quiet; }
    bool isQuiet() const { return m_quiet; }

public slots:
    void handle(const WatchEvent &event);
    // Sends the folded notifications due by the steady clock (its timer calls this on time).
    void sendDue();

signals:
    void notification(const Notification &notification);

private:
    void send(const Notification &n);
    void arm();

    NotificationPolicy m_policy;
    QTimer m_timer;
    bool m_quiet = false;
};
