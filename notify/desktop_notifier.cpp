#include "notify/desktop_notifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QTimer>
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

void DesktopNotifier::checkService()
{
    if (m_checking)
        return;
    m_checking = true;
    if (!m_bus.isConnected()) {
        QTimer::singleShot(0, this, [this] {
            m_checking = false;
            emit serviceChecked(false);
        });
        return;
    }
    const QDBusMessage message = QDBusMessage::createMethodCall(QString::fromLatin1(kService),
        QString::fromLatin1(kPath), QString::fromLatin1(kService), QStringLiteral("GetCapabilities"));
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(message, m_checkTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        const QDBusPendingReply<QStringList> reply = *w;
        m_checking = false;
        emit serviceChecked(!reply.isError());
    });
}

QString DesktopNotifier::bodyMarkup(const QString &plain)
{
    // Only what markup reads outside a tag's attributes: quotes stay, so that a service that shows
    // the body as it comes shows as little of the escaping as can be.
    QString escaped;
    escaped.reserve(plain.size());
    for (const QChar c : plain) {
        if (c == u'&')
            escaped += QLatin1String("&amp;");
        else if (c == u'<')
            escaped += QLatin1String("&lt;");
        else if (c == u'>')
            escaped += QLatin1String("&gt;");
        else
            escaped += c;
    }
    return escaped;
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
            << n.summary << bodyMarkup(n.body) << QStringList() << hints << qint32(-1);

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
