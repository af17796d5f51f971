#include "ui/frm_setup.h"

#include "session/session.h"
#include "ui/plain_text.h"
#include "ui/port_map_window.h"
#include "link/port_entry.h"
#include "link/port_map.h"
#include "settings/record.h"
#include "settings/store.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSerialPortInfo>

namespace {

// Twips to device-independent pixels (15 twips a pixel at 96 dpi).
QRect twips(int left, int top, int width, int height)
{
    return QRect(left / 15, top / 15, width / 15, height / 15);
}

QString portText(int port)
{
    return QStringLiteral("COM %1").arg(port);
}

} // namespace

QString describePort(int port)
{
    const QString path = port_map::devicePath(port);
    if (port_entry::looksNetwork(path))
        return QStringLiteral("%1: %2").arg(portText(port), port_entry::shown(path));
    if (!QFileInfo::exists(path))
        return QStringLiteral("%1: %2 (not present)").arg(portText(port), path);

    // A by-id or other symbolic link names the same device as the port list's system location.
    const QString target = QFileInfo(path).canonicalFilePath();
    QStringList details;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        if (info.systemLocation() != target && info.systemLocation() != path)
            continue;
        if (!info.description().isEmpty())
            details << info.description();
        if (!info.manufacturer().isEmpty())
            details << info.manufacturer();
        if (info.hasVendorIdentifier() && info.hasProductIdentifier())
            details << QStringLiteral("%1:%2")
                           .arg(info.vendorIdentifier(), 4, 16, QLatin1Char('0'))
                           .arg(info.productIdentifier(), 4, 16, QLatin1Char('0'));
        if (!info.serialNumber().isEmpty())
            details << QStringLiteral("serial %1").arg(info.serialNumber());
        break;
    }
    QString text = QStringLiteral("%1: %2").arg(portText(port), path);
    if (target != path && !target.isEmpty())
        text += QStringLiteral(" (%1)").arg(target);
    if (!details.isEmpty())
        text += QStringLiteral("\n") + details.join(QStringLiteral(", "));
    return text;
}

FrmSetup::FrmSetup(TransmitterSession &session, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint)
    , m_session(session)
{
    setObjectName(QStringLiteral("FrmSetup"));
    setWindowTitle(QStringLiteral("ValtronaAmp+ Setup"));
    setFixedSize(3300 / 15, 1860 / 15);

    m_frame2 = new QGroupBox(QStringLiteral("Communication port settings"), this);
    m_frame2->setObjectName(QStringLiteral("Frame2"));
    m_frame2->setGeometry(twips(90, 120, 3075, 1065));

    m_command1 = new QPushButton(QStringLiteral("OK"), this);
    m_command1->setObjectName(QStringLiteral("Command1"));
    m_command1->setGeometry(twips(1170, 1320, 1035, 375));

    m_combo2 = new QComboBox(m_frame2);
    m_combo2->setObjectName(QStringLiteral("Combo2"));
    m_combo2->setEditable(true);
    m_combo2->setInsertPolicy(QComboBox::NoInsert);
    // The box takes exactly what the operator types: a completion would turn "com 2" or "COM " into
    // an entry the operator never chose.
    m_combo2->setCompleter(nullptr);
    m_combo2->setGeometry(twips(930, 360, 1425, 315));
    m_combo2->setToolTip(QStringLiteral("I/O address, 300h is default!"));
    m_combo2->setAccessibleName(QStringLiteral("COM port"));
    m_combo2->setEditText(QStringLiteral("COM 1"));

    m_label1 = new QLabel(QStringLiteral("COM port:"), m_frame2);
    m_label1->setObjectName(QStringLiteral("Label1"));
    m_label1->setTextFormat(Qt::PlainText);
    m_label1->setGeometry(twips(90, 405, 855, 255));
    m_label1->setBuddy(m_combo2);

    // The one control beyond the dialog's own: under the port box, in room the layout leaves free,
    // so that none of the others moves.
    m_command2 = new QPushButton(QStringLiteral("&Devices..."), m_frame2);
    m_command2->setObjectName(QStringLiteral("Command2"));
    m_command2->setGeometry(twips(930, 705, 1425, 330));
    m_command2->setAccessibleName(QStringLiteral("Devices..."));
    m_command2->setToolTip(
        QStringLiteral("Which device each COM port stands for, and the serial devices present"));

    setTabOrder(m_command1, m_combo2);
    setTabOrder(m_combo2, m_command2);

    // Typing changes the text (textEdited: the operator only, never the program); picking an entry
    // is a click. The load's own text change runs the same steps explicitly.
    connect(m_combo2->lineEdit(), &QLineEdit::textEdited, this, [this] { Combo2_Change(); });
    connect(m_combo2, &QComboBox::activated, this, [this] { Combo2_Click(); });
    connect(m_command1, &QPushButton::clicked, this, [this] { Command1_Click(); });
    connect(m_command2, &QPushButton::clicked, this, [this] { Command2_Click(); });
    // Adapters come and go while the dialog is open: the entries say what is there when the list opens.
    m_combo2->view()->installEventFilter(this);
}

bool FrmSetup::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_combo2->view() && event->type() == QEvent::Show)
        updateTooltips();
    return QWidget::eventFilter(watched, event);
}

void FrmSetup::Form_Load()
{
    // While saves fail the store is older than the record: reading it again would undo the changes
    // made since, which live only in memory until a save goes through.
    if (!SettingsStore::instance().isFailing())
        LoadSettings();
    m_combo2->blockSignals(true);
    m_combo2->clear();
    for (int port = port_map::kFirstPort; port <= port_map::kLastPort; ++port)
        m_combo2->addItem(portText(port));
    // A freshly loaded dialog shows its initial text, whatever an earlier opening left there. The
    // box's current entry always matches the text it shows: Qt treats a text that names another
    // entry as picked when the box loses the focus (to its own list popping up, say), which would
    // run a port choice the operator never made.
    m_combo2->setCurrentIndex(0);
    m_combo2->blockSignals(false);
    updateTooltips();

    const QString before = m_combo2->currentText();
    const int stored = settingsRecord().COMSelected;
    if (stored >= port_map::kFirstPort && stored <= port_map::kLastPort) {
        m_combo2->setCurrentIndex(stored - 1);
        if (m_combo2->currentText() != before)
            Combo2_Change();
    }
    m_loaded = true;

    const QRect screen
        = QApplication::primaryScreen() ? QApplication::primaryScreen()->availableGeometry() : QRect();
    if (screen.isValid())
        move(screen.center() - rect().center());
}

void FrmSetup::Combo2_Change()
{
    choosePort();
}

void FrmSetup::Combo2_Click()
{
    choosePort();
}

void FrmSetup::choosePort()
{
    const QString text = m_combo2->currentText();
    for (int port = port_map::kFirstPort; port <= port_map::kLastPort; ++port) {
        if (text == portText(port)) {
            settingsRecord().COMSelected = static_cast<qint16>(port);
            break;
        }
    }
    SaveSettings();
    m_session.applyPortChoice();
}

void FrmSetup::Command1_Click()
{
    SaveSettings();
    unload();
}

void FrmSetup::Command2_Click()
{
    if (!m_portMap)
        m_portMap = new PortMapWindow(this);
    m_portMap->show();
    m_portMap->raise();
    m_portMap->activateWindow();
}

void FrmSetup::closeEvent(QCloseEvent *event)
{
    // Closing the window any other way unloads it without a save: every choice is saved already.
    // The port map belongs to the dialog and goes with it; what it assigned is stored already.
    m_loaded = false;
    if (m_portMap)
        m_portMap->close();
    event->accept();
}

void FrmSetup::unload()
{
    m_loaded = false;
    close();
}

void FrmSetup::updateTooltips()
{
    for (int i = 0; i < m_combo2->count(); ++i)
        m_combo2->setItemData(i, plainToolTip(describePort(i + 1)), Qt::ToolTipRole);
}

void ShowWithHourglass(FrmSetup &form)
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
    if (!form.isLoaded())
        form.Form_Load();
    form.show();
    form.raise();
    form.activateWindow();
    QApplication::restoreOverrideCursor();
}
