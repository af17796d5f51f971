#include "ui/notices.h"

#include "notify/notification_settings.h"
#include "settings/store.h"
#include "station/station.h"
#include "ui/plain_text.h"
#include "ui/tray.h"
#include "ui/tray_state.h"

#include <QSystemTrayIcon>
#include <QWidget>

#include <algorithm>
#include <utility>

Notices::Notices(Station &station, Tray &tray, QWidget &window, QObject *parent)
    : QObject(parent)
    , m_station(station)
    , m_tray(tray)
    , m_window(window)
{
    connect(&station.watch(), &TransmitterWatch::event, &m_scheduler, &NotificationScheduler::handle);
    connect(&m_scheduler, &NotificationScheduler::notification, this, &Notices::show);
    connect(&station.watch(), &TransmitterWatch::stateChanged, this, &Notices::showState);
    showState();
}

void Notices::loadSettings()
{
    NotificationSettings::addDefaults(SettingsStore::instance());
    m_scheduler.policy().setSettings(NotificationSettings::load(SettingsStore::instance()));
}

void Notices::updateQuiet()
{
    m_scheduler.setQuiet(m_window.isVisible() && m_window.isActiveWindow() && !m_window.isMinimized());
}

DesktopNotifier &Notices::notifier()
{
    if (!m_notifier) {
        m_notifier = std::make_unique<DesktopNotifier>();
        connect(m_notifier.get(), &DesktopNotifier::failed, this,
            [this](const Notification &n, const QString &) { showOnTray(n); });
        connect(m_notifier.get(), &DesktopNotifier::serviceChecked, this, &Notices::serviceChecked);
    }
    return *m_notifier;
}

void Notices::show(const Notification &n)
{
    if (m_serviceKnown < 0) {
        // The first notification asks the bus; it and those that follow wait for the answer.
        const auto same = std::find_if(
            m_held.begin(), m_held.end(), [&n](const Notification &h) { return h.key == n.key; });
        if (same != m_held.end())
            m_held.erase(same);
        m_held.append(n);
        notifier().checkService();
        return;
    }
    if (m_serviceKnown)
        notifier().notify(n);
    else
        showOnTray(n);
}

void Notices::serviceChecked(bool available)
{
    m_serviceKnown = available ? 1 : 0;
    const QList<Notification> held = std::exchange(m_held, {});
    for (const Notification &n : held)
        show(n);
}

// Without a notification service the tray icon speaks, when it is there; a hidden window always has
// its tray icon.
void Notices::showOnTray(const Notification &n)
{
    if (!m_tray.isShown())
        return;
    const QSystemTrayIcon::MessageIcon icon = n.urgency == WatchEvent::Urgency::Critical
        ? QSystemTrayIcon::Critical
        : QSystemTrayIcon::Information;
    m_tray.icon()->showMessage(n.summary, n.body, icon);
}

void Notices::showState()
{
    const WatchState &state = m_station.watch().state();
    const QIcon icon = artwork::stateIcon(artwork::panelStateOf(state));
    m_window.setWindowIcon(icon);
    m_tray.icon()->setIcon(icon);
    m_tray.icon()->setToolTip(plainToolTip(artwork::trayToolTip(state)));
}
