#include "ui/form1.h"
#include "ui/artwork.h"
#include "ui/notices.h"
#include "ui/tray.h"

#include "link/port_map.h"
#include "settings/store.h"
#include "ui/value_lists.h"

#include <QApplication>
#include <QCheckBox>
#include <QFocusEvent>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QSlider>
#include <QStatusBar>

Form1::Form1(QWidget *parent) : QMainWindow(parent)
{
    // The window decides when the program ends: hiding it in the tray, or closing a dialog while it
    // is hidden, must not end it (see closeEvent).
    QApplication::setQuitOnLastWindowClosed(false);

    buildLayout();
    // The program's icon, rendered once at start-up; a window made without one renders its own.
    const QIcon programIcon = QApplication::windowIcon();
    setWindowIcon(programIcon.isNull() ? artwork::panelIcon() : programIcon);
    m_tray = new Tray(windowIcon(), this);
    connect(m_tray, &Tray::activated, this, &Form1::Systray_Activated);
    m_notices = new Notices(m_station, *m_tray, *this, this);

    wireStatus();
    wireBoundControls();
    connect(m_command4, &QPushButton::clicked, this, [this] { Command4_Click(); });
    connect(m_command16, &QPushButton::clicked, this, [this] { Command16_Click(); });
    connect(m_command9, &QPushButton::clicked, this, [this] { Command9_Click(); });
    connect(m_command2, &QPushButton::clicked, this, [this] { Command2_Click(); });
    connect(control<QPushButton>("Command11"), &QPushButton::clicked, this, [this] { Command11_Click(); });
    updateTrayButton();

    m_timer1.setObjectName("Timer1");
    m_timer1.setInterval(1000);
    connect(&m_timer1, &QTimer::timeout, this, &Form1::Timer1_Timer);
    m_timer1.start();
}

Form1::~Form1() = default;

void Form1::start()
{
    Form_Load();
    const QScreen *screen = this->screen();
    if (screen)
        move(screen->availableGeometry().center() - frameGeometry().center() + pos());
    if (!isInTray())
        show();
}

// Start-up, in this order: the store, the height, the logo lines, the lists, the slider, the check
// boxes and options, the tray, the threshold list, and last the link. Each selection that changes a
// list, check box or option runs its handler, which stores and saves.
void Form1::Form_Load()
{
    LoadSettings();
    SettingsRecord &r = settingsRecord();
    keepDesignedSize();
    m_text7->setText(r.LogoLine1);
    m_text6->setText(r.LogoLine2);
    for (const value_lists::List &list : value_lists::lists())
        if (qstrcmp(list.control, "Combo1") != 0)
            fillList(list);
    {
        // Setting the slider is no operator movement: nothing is stored.
        const QSignalBlocker quiet(m_slider1);
        m_slider1->setValue(r.TXPower);
    }
    const bool trayAtStart = r.TrayAtStart;
    m_check1->setChecked(r.AutoRead);
    m_session.setAutoRead(m_check1->checkState() != Qt::Unchecked); // checked already: no change signal
    (r.TXStereo != 0 ? m_option30 : m_option31)->setChecked(true);
    m_check5->setChecked(trayAtStart);
    if (trayAtStart)
        sendToTray();
    if (const value_lists::List *threshold = value_lists::find("Combo1"))
        fillList(*threshold);

    port_map::writeMissingDefaults();
    m_notices->loadSettings();
    m_session.startUp();
    m_station.noteStarted();
}

// The client area is the central widget and the status bar; the menu bar stands above it.
void Form1::keepDesignedSize()
{
    setFixedSize(kClientWidth, menuBar()->sizeHint().height() + kClientHeight);
}

bool Form1::event(QEvent *event)
{
    // The status bar shows the progress report; hovering a menu must not wipe it.
    if (event->type() == QEvent::StatusTip)
        return true;
    // Notifications are quiet only while the window is in front, showing all itself.
    if (m_notices
        && (event->type() == QEvent::Show || event->type() == QEvent::Hide
            || event->type() == QEvent::WindowActivate || event->type() == QEvent::WindowDeactivate
            || event->type() == QEvent::WindowStateChange))
        QTimer::singleShot(0, m_notices, &Notices::updateQuiet);
    return QMainWindow::event(event);
}

bool Form1::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::FocusOut: {
        // Moving to another control leaves a control; switching windows or opening its own list
        // does not.
        const Qt::FocusReason reason = static_cast<QFocusEvent *>(event)->reason();
        const Handler handler = m_leaveHandlers.value(watched);
        // A list's own popup takes the focus twice: once for the popup, then for its view, with
        // another reason; neither is the operator leaving the list.
        if (handler && reason != Qt::PopupFocusReason && reason != Qt::ActiveWindowFocusReason
            && reason != Qt::MenuBarFocusReason && !QApplication::activePopupWidget())
            (this->*handler)();
        break;
    }
    case QEvent::MouseButtonPress:
        if (const Handler handler = m_pressHandlers.value(watched))
            (this->*handler)();
        break;
    case QEvent::Hide:
        if (m_closing && watched->isWidgetType() && static_cast<QWidget *>(watched)->isWindow())
            QTimer::singleShot(0, this, &Form1::quitWhenAlone);
        break;
    default:
        break;
    }
    return QMainWindow::eventFilter(watched, event);
}
