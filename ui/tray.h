#pragma once

#include <QIcon>
#include <QObject>

class QSystemTrayIcon;

// The tray icon "Systray": shown while the main window is hidden, removed when it comes back. Where
// the desktop has no notification area the window must never be hidden, so the tray says whether
// it can hold the window at all.
class Tray : public QObject
{
    Q_OBJECT
public:
    static constexpr const char *kToolTip = "ValtronaAmp+ V4.1";

    Tray(const QIcon &icon, QObject *parent = nullptr);

    // Whether the desktop has a notification area (asked each time: it can come and go).
    bool isAvailable() const;
    void show();
    void remove();
    bool isShown() const;

    QSystemTrayIcon *icon() const { return m_icon; }

signals:
    // Any mouse action on the icon.
    void activated();

private:
    QSystemTrayIcon *m_icon;
};
