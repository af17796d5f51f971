#pragma once

#include <QWidget>

class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;
class PortMapWindow;
class TransmitterSession;

// The port setup dialog: the operator picks "COM 1" ... "COM 8"; each choice is stored, saved and
// applied to the link at once. One instance for the program, modeless; it is "loaded" (list
// built, store re-read) each time it is opened and "unloaded" when OK or its close box closes it.
class FrmSetup : public QWidget
{
    Q_OBJECT
public:
    explicit FrmSetup(TransmitterSession &session, QWidget *parent = nullptr);

    bool isLoaded() const { return m_loaded; }

    // The dialog's events, named as the rest of the program knows them.
    void Form_Load();
    void Combo2_Change();
    void Combo2_Click();
    void Command1_Click();
    // "Devices...": the port map, opened beside the dialog.
    void Command2_Click();

    QComboBox *combo() const { return m_combo2; }
    PortMapWindow *portMapWindow() const { return m_portMap; }

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void choosePort();
    void unload();
    void updateTooltips();

    TransmitterSession &m_session;
    QGroupBox *m_frame2;
    QComboBox *m_combo2;
    QLabel *m_label1;
    QPushButton *m_command1;
    QPushButton *m_command2;
    PortMapWindow *m_portMap = nullptr;
    bool m_loaded = false;
};

// Shows `form` modeless with the busy pointer around it: a form that is not loaded is loaded first
// (so the pointer covers its load steps); one already open is only brought to the front.
void ShowWithHourglass(FrmSetup &form);

// The text shown for a port in the dialog: the device it maps to and what is there.
QString describePort(int port);
