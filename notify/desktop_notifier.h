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
//
// A notification's body is plain text (it carries device paths from the store and texts from the
// wire); services read the body as markup, so it goes out escaped and shows as it stands. The
// summary is plain text to every service and goes out as it is.
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

    // Asks, without waiting, whether a notification service answers on the bus: the service is
    // asked for its capabilities (which starts one that the bus can start). serviceChecked() tells
    // the answer, later, from the event loop: false when there is none or it has not answered
    // within checkTimeoutMs(). A check asked while one is out is that one.
    void checkService();
    bool isChecking() const { return m_checking; }
    int checkTimeoutMs() const { return m_checkTimeoutMs; }
    void setCheckTimeoutMs(int ms) { m_checkTimeoutMs = ms; }
    static constexpr int kCheckTimeoutMs = 10000;

    // The body as it goes to the service: the plain text escaped for its markup.
    static QString bodyMarkup(const QString &plain);
    // The id the service gave the last notification with `key` (0: none yet).
    uint idOf(const QString &key) const { return m_ids.value(key); }
    // Calls sent and not answered yet.
    int callsOut() const { return int(m_callsOut.size()); }

public slots:
    void notify(const Notification &notification);

signals:
    void serviceChecked(bool available);
    void sent(const Notification &notification, uint id);
    void failed(const Notification &notification, const QString &error);

private:
    void call(const Notification &n);

    QDBusConnection m_bus;
    bool m_checking = false;
    int m_checkTimeoutMs = kCheckTimeoutMs;
    QHash<QString, uint> m_ids;
    QSet<QString> m_callsOut; // keys with a call out
    QHash<QString, Notification> m_waiting; // per key, the newest waiting for that call's answer
};
