#pragma once

#include "notify/notification.h"

#include <QDBusConnection>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>

// Shows notifications through the desktop's notification service (org.freedesktop.Notifications
// on the session bus). Calls never wait: the answer (the notification's id) comes back later and
// is kept per key, so that the next notification of the same alarm replaces the shown one; one
// that comes while its key's call is still out waits for that answer (only the newest waits).
// Where no service runs or a call fails, failed() lets the caller fall back to the tray icon.
class DesktopNotifier : public QObject
{
    Q_OBJECT
public:
    static constexpr const char *kService = "org.freedesktop.Notifications";
    static constexpr const char *kPath = "/org/freedesktop/Notifications";
    static constexpr const char *kAppName = "ValtronaAmp+";
    // The installed desktop entry and icon name.
    static constexpr const char *kDesktopEntry = "org.example.valtrona_panel";

    explicit DesktopNotifier(
        const QDBusConnection &bus = QDBusConnection::sessionBus(), QObject *parent = nullptr);

    // Whether a notification service runs or can be started on the bus (asks the bus, briefly).
    bool isServiceAvailable() const;
    // The id the service gave the last notification with `key` (0: none yet).
    uint idOf(const QString &key) const { return m_ids.value(key); }
    // Calls sent and not answered yet.
    int callsOut() const { return int(m_callsOut.size()); }

public slots:
    void notify(const Notification &notification);

signals:
    void sent(const Notification &notification, uint id);
    void failed(const Notification &notification, const QString &error);

private:
    void call(const Notification &n);

    QDBusConnection m_bus;
    QHash<QString, uint> m_ids;
    QSet<QString> m_callsOut; // keys with a call out
    QHash<QString, Notification> m_waiting; // per key, the newest waiting for that call's answer
};
