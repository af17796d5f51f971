#include "ui/tray.h"

#include <QSystemTrayIcon>

Tray::Tray(const QIcon &icon, QObject *parent)
    : QObject(parent), m_icon(new QSystemTrayIcon(icon, this))
{
    m_icon->setObjectName("Systray");
    m_icon->setToolTip(QString::fromLatin1(kToolTip));
    connect(m_icon, &QSystemTrayIcon::activated, this, [this] { emit activated(); });
}

bool Tray::isAvailable() const
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void Tray::show() { m_icon->show(); }

void Tray::remove() { m_icon->hide(); }

bool Tray::isShown() const { return m_icon->isVisible(); }
