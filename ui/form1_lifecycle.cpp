// The window's lifecycle: to the tray and back, handing the front to another window of the program,
// and closing.
#include "ui/form1.h"
#include "ui/events_window.h"
#include "ui/frm_setup.h"
#include "ui/history_window.h"
#include "ui/tray.h"

#include "settings/store.h"

#include <QApplication>
#include <QCloseEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>

void Form1::updateTrayButton()
{
    const bool available = m_tray->isAvailable();
    m_command2->setEnabled(available);
    m_command2->setToolTip(available ? QString()
                                     : tr("This desktop has no system tray: the window stays on screen."));
}

// The window is hidden only where a tray icon can bring it back.
void Form1::sendToTray()
{
    updateTrayButton();
    if (!m_tray->isAvailable()) {
        statusBar()->showMessage(m_command2->toolTip());
        return;
    }
    m_tray->show();
    hide();
}

void Form1::Command2_Click()
{
    sendToTray();
}

void Form1::Systray_Activated()
{
    m_tray->remove();
    show();
    raise();
    activateWindow();
}

bool Form1::isInTray() const
{
    return m_tray->isShown() && !isVisible();
}

// Message boxes and popups are part of whatever runs in front of them, not windows of their own; a
// window that only shows what the panel keeps (and its dialogs) lets the window go on reading.
bool Form1::isOtherWindowOfOurs(QWidget *window) const
{
    return window && window != this && window->isWindow() && !qobject_cast<QMessageBox *>(window)
           && !(window->windowType() == Qt::Popup || window->windowType() == Qt::ToolTip)
           && !HistoryWindow::isViewer(window);
}

void Form1::changeEvent(QEvent *event)
{
    QMainWindow::changeEvent(event);
    // Losing the front to another program leaves no window of ours active: nothing to do then.
    if (event->type() == QEvent::ActivationChange && !isActiveWindow()
        && isOtherWindowOfOurs(QApplication::activeWindow()))
        Form_Deactivate();
}

// Another window of the program came to the front (the port setup dialog): save, and let go of the
// port so that the dialog's choice opens it afresh. A running download keeps it until it has ended.
void Form1::Form_Deactivate()
{
    SaveSettings();
    m_session.releasePort();
}

void Form1::SetupMnu_Click()
{
    if (!m_frmSetup)
        m_frmSetup = new FrmSetup(m_session, this);
    ShowWithHourglass(*m_frmSetup);
}

void Form1::EventsMnu_Click()
{
    if (!m_events)
        m_events = new EventsWindow(m_station.log(), this);
    m_events->refresh();
    m_events->show();
    m_events->raise();
    m_events->activateWindow();
}

void Form1::HistoryMnu_Click()
{
    HistoryWindow::open(m_station.database(), this);
}

void Form1::Exitmnu_Click()
{
    close();
}

// The window closes at once. Nothing is written after that, whatever other window of the program is
// still open: the timer stops and the session takes no more commands. A download that is running
// ends whole (a cut frame could leave the board half-configured), then the port is released and the
// program ends.
void Form1::closeEvent(QCloseEvent *event)
{
    Form_Unload();
    event->accept();
    m_closing = true;
    m_station.noteClosed();
    m_timer1.stop();
    m_session.shutDown();
    // The program ends once no window of it is left; that test runs after this window has gone.
    QTimer::singleShot(0, this, &Form1::quitWhenAlone);
}

void Form1::Form_Unload()
{
    SaveSettings();
}

// Hidden in the tray the window is still the program: only its close ends the program, once the
// session has let go of the port and the last other window of it (the port setup dialog) has closed.
void Form1::quitWhenAlone()
{
    if (!m_session.isReleased())
        return; // released() calls again
    bool alone = true;
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (w != this && w->isVisible() && w->isWindow() && w->windowType() != Qt::ToolTip
            && w->windowType() != Qt::Popup) {
            alone = false;
            w->installEventFilter(this);
        }
    }
    if (alone)
        QCoreApplication::quit();
}
