#include "notify/notification_scheduler.h"

NotificationScheduler::NotificationScheduler(NotificationPolicy::Clock clock, QObject *parent)
    : QObject(parent)
    , m_clock(clock ? std::move(clock)
                    : NotificationPolicy::Clock([] { return QDateTime::currentDateTimeUtc(); }))
    , m_policy(m_clock)
{
    qRegisterMetaType<Notification>();
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &NotificationScheduler::sendDue);
}

void NotificationScheduler::handle(const WatchEvent &event)
{
    if (const std::optional<Notification> n = m_policy.decide(event))
        send(*n);
    arm();
}

void NotificationScheduler::send(const Notification &n)
{
    if (!m_quiet)
        emit notification(n);
}

void NotificationScheduler::arm()
{
    const QDateTime due = m_policy.nextDue();
    if (!due.isValid()) {
        m_timer.stop();
        return;
    }
    m_timer.start(int(qBound<qint64>(0, m_clock().msecsTo(due), NotificationPolicy::kFoldWindowMs)));
}

void NotificationScheduler::sendDue()
{
    for (const Notification &n : m_policy.takeDue())
        send(n);
    arm();
}
