#pragma once

#include "session/session.h"
#include "settings/record.h"
#include "station/station.h"
#include "ui/setting_binder.h"

#include <QHash>
#include <QMainWindow>
#include <QPointer>
#include <QTimer>
#include <array>

class AlarmShape;
class EventsWindow;
class FrmSetup;
class Notices;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QMessageBox;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QSlider;
class Tray;
namespace value_lists {
struct List;
}

// The main window: every control of the panel under its own name, the start-up sequence, the tray
// and the window's lifecycle. Handlers are named after their control and event and stay a few
// lines each; the work is done by the core: the transmitter session owns the wire, the settings store
// keeps the record.
class Form1 : public QMainWindow
{
    Q_OBJECT
public:
    static constexpr const char *kTitle = "ValtronaAmp+ v4.1";
    static constexpr int kClientWidth = 785;   // 11775 twips
    static constexpr int kClientHeight = 528;  // 7920 twips, the status bar included

    explicit Form1(QWidget *parent = nullptr);
    ~Form1() override;

    // Runs the start-up sequence, then shows the window centred unless it went to the tray.
    void start();

    bool isInTray() const;
    QString statusText() const;

    TransmitterSession &session() { return m_session; }
    Station &station() { return m_station; }
    Notices &notices() { return *m_notices; }
    Tray &tray() { return *m_tray; }
    QTimer &timer1() { return m_timer1; }

    // Start-up and lifecycle.
    void Form_Load();
    void Form_Deactivate();
    void Form_Unload();
    void Timer1_Timer();
    void Systray_Activated();
    void SetupMnu_Click();
    void EventsMnu_Click();
    void HistoryMnu_Click();
    void Exitmnu_Click();

    // Buttons.
    void Command4_Click();
    void Command16_Click();
    void Command9_Click();
    void Command2_Click();
    void Command11_Click();

    // The logo boxes keep their lines at 16 characters and store them.
    void Text7_Click() { applyLogoRule(m_text7, &SettingsRecord::LogoLine1); }
    void Text7_LostFocus() { Text7_Click(); }
    void Text7_Validate() { Text7_Click(); }
    void Text6_Click() { applyLogoRule(m_text6, &SettingsRecord::LogoLine2); }
    void Text6_LostFocus() { Text6_Click(); }
    void Text6_Validate() { Text6_Click(); }

    // Output power and stereo/mono.
    void Slider1_Scroll() { m_binder.store(m_slider1); }
    void Slider1_Validate() { Slider1_Scroll(); }
    void Option30_Click() { m_binder.store(m_option30); }
    void Option30_Validate() { Option30_Click(); }
    void Option31_Click() { m_binder.store(m_option31); }
    void Option31_Validate() { Option31_Click(); }

    // The setting-bound lists and check boxes: click and validate do the same store-and-save.
    void Combo10_Click() { m_binder.store(m_combo10); }
    void Combo10_Validate() { m_binder.store(m_combo10); }
    void Combo12_Click() { m_binder.store(m_combo12); }
    void Combo12_Validate() { m_binder.store(m_combo12); }
    void Combo3_Click() { m_binder.store(m_combo3); }
    void Combo3_Validate() { m_binder.store(m_combo3); }
    void Combo2_Click() { m_binder.store(m_combo2); }
    void Combo2_Validate() { m_binder.store(m_combo2); }
    void Combo11_Click() { m_binder.store(m_combo11); }
    void Combo11_Validate() { m_binder.store(m_combo11); }
    void Combo1_Click() { m_binder.store(m_combo1); }
    void Combo1_Validate() { m_binder.store(m_combo1); }
    void Combo5_Click() { m_binder.store(m_combo5); }
    void Combo5_Validate() { m_binder.store(m_combo5); }
    void Combo4_Click() { m_binder.store(m_combo4); }
    void Combo4_Validate() { m_binder.store(m_combo4); }
    void Combo8_Click() { m_binder.store(m_combo8); }
    void Combo8_Validate() { m_binder.store(m_combo8); }
    void Combo14_Click() { m_binder.store(m_combo14); }
    void Combo14_Validate() { m_binder.store(m_combo14); }
    void Combo9_Click() { m_binder.store(m_combo9); }
    void Combo9_Validate() { m_binder.store(m_combo9); }
    void Check1_Click() { m_binder.store(m_check1); }
    void Check1_Validate() { m_binder.store(m_check1); }
    void Check5_Click() { m_binder.store(m_check5); }
    void Check5_Validate() { m_binder.store(m_check5); }

protected:
    bool event(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void changeEvent(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    using Handler = void (Form1::*)();
    using TextField = QString SettingsRecord::*;

    void keepDesignedSize();

    // form1_layout.cpp
    void buildLayout();
    void buildMenu();
    void buildAmplifierBoard(QWidget *central);
    void buildPowerDisplay(QWidget *central);
    void buildButtons(QWidget *central);
    void buildStatusFrame(QWidget *central);
    void buildRightColumn(QWidget *central);
    void buildHiddenControls(QWidget *central);
    QLineEdit *displayBox(QWidget *parent, const char *name, int left, int top, int width, int height);

    // form1_bound.cpp
    void wireBoundControls();
    void onLeave(QWidget *control, Handler handler);
    void fillList(const value_lists::List &list);
    void applyLogoRule(QLineEdit *box, TextField field);

    // form1_status.cpp
    void wireStatus();
    void showDisplay();
    void showStale(bool stale);
    void showProgress(const QString &text, int value);
    void showMissingPort();
    void showSaveFailure(const QString &text);
    void showProblem(const QString &text);
    void onRunningChanged(bool running);
    void showRefused(const QString &text);
    void showHistoryProblem(const QString &text);

    // form1_lifecycle.cpp
    void sendToTray();
    void updateTrayButton();
    bool isOtherWindowOfOurs(QWidget *window) const;
    void quitWhenAlone();

    template <typename T> T *control(const char *name) const
    {
        return findChild<T *>(QString::fromLatin1(name));
    }

    TransmitterSession m_session;
    Station m_station{m_session};
    Notices *m_notices = nullptr;
    EventsWindow *m_events = nullptr;
    QTimer m_timer1;
    Tray *m_tray = nullptr;
    FrmSetup *m_frmSetup = nullptr;

    std::array<QLineEdit *, report::kTextFields> m_display{};
    std::array<AlarmShape *, 5> m_shapes{};
    QLineEdit *m_text7 = nullptr;
    QLineEdit *m_text6 = nullptr;
    QPlainTextEdit *m_text8 = nullptr;
    QSlider *m_slider1 = nullptr;
    QRadioButton *m_option30 = nullptr;
    QRadioButton *m_option31 = nullptr;
    QComboBox *m_combo1 = nullptr;
    QComboBox *m_combo2 = nullptr;
    QComboBox *m_combo3 = nullptr;
    QComboBox *m_combo4 = nullptr;
    QComboBox *m_combo5 = nullptr;
    QComboBox *m_combo8 = nullptr;
    QComboBox *m_combo9 = nullptr;
    QComboBox *m_combo10 = nullptr;
    QComboBox *m_combo11 = nullptr;
    QComboBox *m_combo12 = nullptr;
    QComboBox *m_combo14 = nullptr;
    QCheckBox *m_check1 = nullptr;
    QCheckBox *m_check5 = nullptr;
    QPushButton *m_command2 = nullptr;
    QPushButton *m_command4 = nullptr;
    QPushButton *m_command9 = nullptr;
    QPushButton *m_command16 = nullptr;
    QProgressBar *m_progressBar1 = nullptr;
    QProgressBar *m_progressBar2 = nullptr;

    SettingBinder m_binder;
    QHash<QObject *, Handler> m_leaveHandlers;
    QHash<QObject *, Handler> m_pressHandlers;
    QPointer<QMessageBox> m_missingPortBox;
    QPointer<QMessageBox> m_saveFailureBox;
    QPointer<QMessageBox> m_historyProblemBox;
    bool m_closing = false;
};
