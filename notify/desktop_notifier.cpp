#include "notify/desktop_notifier.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusReply>
#include <QVariantMap>

namespace {

// The urgency levels of the freedesktop notification protocol.
uchar urgencyByte(WatchEvent::Urgency urgency)
{
    switch (urgency) {
    case WatchEvent::Urgency::Critical:
        return 2;
    case WatchEvent::Urgency::Normal:
        return 1;
    default:
        return 0;
    }
}

// How long a call may stay unanswered before it counts as failed.
constexpr int kCallTimeoutMs = 10000;

} // namespace

DesktopNotifier::DesktopNotifier(const QDBusConnection &bus, QObject *parent)
    : QObject(parent)
    , m_bus(bus)
{
    qRegisterMetaType<Notification>();
}

bool DesktopNotifier::isServiceAvailable() const
{
    if (!m_bus.isConnected())
        return false;
    QDBusConnectionInterface *bus = m_bus.interface();
    if (!bus)
        return false;
    const QString service = QString::fromLatin1(kService);
    const QDBusReply<bool> registered = bus->isServiceRegistered(service);
    if (registered.isValid() && registered.value())
        return true;
    const QDBusReply<QStringList> activatable = bus->activatableServiceNames();
    return activatable.isValid() && activatable.value().contains(service);
}

void DesktopNotifier::notify(const Notification &notification)
{
    if (m_callsOut.contains(notification.key)) {
        m_waiting.insert(notification.key, notification);
        return;
    }
    call(notification);
}

void DesktopNotifier::call(const Notification &n)
{
    if (!m_bus.isConnected()) {
        emit failed(n, QStringLiteral("no session bus"));
        return;
    }
    QDBusMessage message = QDBusMessage::createMethodCall(QString::fromLatin1(kService),
        QString::fromLatin1(kPath), QString::fromLatin1(kService), QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue(urgencyByte(n.urgency)));
    hints.insert(QStringLiteral("desktop-entry"), QString::fromLatin1(kDesktopEntry));
    message << QString::fromLatin1(kAppName) << m_ids.value(n.key) << QString::fromLatin1(kDesktopEntry)
            << n.summary << n.body << QStringList() << hints << qint32(-1);

    m_callsOut.insert(n.key);
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(message, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, n](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        const QDBusPendingReply<uint> reply = *w;
        m_callsOut.remove(n.key);
        if (reply.isError()) {
            emit failed(n, reply.error().message());
        } else {
            m_ids.insert(n.key, reply.value());
            emit sent(n, reply.value());
        }
        if (m_waiting.contains(n.key))
            call(m_waiting.take(n.key));
    });
}
