#pragma once

#include "notify/desktop_notifier.h"
#include "notify/notification_scheduler.h"

#include <QObject>
#include <memory>

class Station;
class Tray;
class QWidget;

// Tells the operator what the watch saw while the window is not in front: desktop notifications
// through the session bus's notification service, or the tray icon's own message where no such
// service runs; and the state on the tray's and the window's icons and the tray's tooltip.
class Notices : public QObject
{
    Q_OBJECT
public:
    Notices(Station &station, Tray &tray, QWidget &window, QObject *parent = nullptr);

    // Reads the [Notifications] group, writing its keys with their defaults where missing so that
    // the operator can see and edit them. At start-up, after the store has been loaded.
    void loadSettings();

    // Quiet while the window is the active window: it shows everything itself.
    void updateQuiet();

    NotificationScheduler &scheduler() { return m_scheduler; }
    // The bus is reached at the first notification, not at start-up.
    DesktopNotifier &notifier();

private:
    void show(const Notification &n);
    void showOnTray(const Notification &n);
    void showState();
    void serviceChecked(bool available);

    Station &m_station;
    Tray &m_tray;
    QWidget &m_window;
    NotificationScheduler m_scheduler;
    std::unique_ptr<DesktopNotifier> m_notifier;
    int m_serviceKnown = -1; // -1 not known yet, 0 no service, 1 a service
    // While the bus is asked whether a service runs (never waited for on this thread): the
    // notifications to show then, in order, the newest of each key only.
    QList<Notification> m_held;
};
