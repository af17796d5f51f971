#include "notify/notification_scheduler.h"

NotificationScheduler::NotificationScheduler(
    NotificationPolicy::Clock wall, NotificationPolicy::SteadyClock steady, QObject *parent)
    : QObject(parent)
    , m_policy(std::move(wall), std::move(steady))
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
    const qint64 due = m_policy.msUntilDue();
    if (due < 0) {
        m_timer.stop();
        return;
    }
    m_timer.start(int(qMin<qint64>(due, NotificationPolicy::kFoldWindowMs)));
}

void NotificationScheduler::sendDue()
{
    for (const Notification &n : m_policy.takeDue())
        send(n);
    arm();
}
