// The setting-bound controls: every change of a list, check box, option, the slider or a logo box,
// and every departure of the focus from one, is copied into the settings record and saved at once.
#include "ui/form1.h"

#include "config/logo_line.h"
#include "settings/store.h"
#include "ui/value_lists.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QStatusBar>

void Form1::onLeave(QWidget *control, Handler handler)
{
    m_leaveHandlers.insert(control, handler);
    control->installEventFilter(this);
}

void Form1::wireBoundControls()
{
    struct Bound {
        QComboBox *Form1::*combo; // or
        QCheckBox *Form1::*box;
        const char *name;
        SettingKey key; // the check box's setting; a list's comes from its value list
        Handler click;
        Handler validate;
    };
    static const Bound bound[] = {
        {&Form1::m_combo10, nullptr, "Combo10", {}, &Form1::Combo10_Click, &Form1::Combo10_Validate},
        {&Form1::m_combo12, nullptr, "Combo12", {}, &Form1::Combo12_Click, &Form1::Combo12_Validate},
        {&Form1::m_combo3, nullptr, "Combo3", {}, &Form1::Combo3_Click, &Form1::Combo3_Validate},
        {&Form1::m_combo2, nullptr, "Combo2", {}, &Form1::Combo2_Click, &Form1::Combo2_Validate},
        {&Form1::m_combo11, nullptr, "Combo11", {}, &Form1::Combo11_Click, &Form1::Combo11_Validate},
        {&Form1::m_combo1, nullptr, "Combo1", {}, &Form1::Combo1_Click, &Form1::Combo1_Validate},
        {&Form1::m_combo5, nullptr, "Combo5", {}, &Form1::Combo5_Click, &Form1::Combo5_Validate},
        {&Form1::m_combo4, nullptr, "Combo4", {}, &Form1::Combo4_Click, &Form1::Combo4_Validate},
        {&Form1::m_combo8, nullptr, "Combo8", {}, &Form1::Combo8_Click, &Form1::Combo8_Validate},
        {&Form1::m_combo14, nullptr, "Combo14", {}, &Form1::Combo14_Click, &Form1::Combo14_Validate},
        {&Form1::m_combo9, nullptr, "Combo9", {}, &Form1::Combo9_Click, &Form1::Combo9_Validate},
        {nullptr, &Form1::m_check1, "Check1", SettingKey::AutoRead, &Form1::Check1_Click, &Form1::Check1_Validate},
        {nullptr, &Form1::m_check5, "Check5", SettingKey::TrayAtStart, &Form1::Check5_Click, &Form1::Check5_Validate},
    };
    for (const Bound &b : bound) {
        const Handler click = b.click;
        QWidget *w = nullptr;
        if (b.combo) {
            QComboBox *combo = this->*(b.combo) = control<QComboBox>(b.name);
            m_binder.bindList(combo, value_lists::get(b.name).setting);
            connect(combo, &QComboBox::currentIndexChanged, this, [this, click] { (this->*click)(); });
            w = combo;
        } else {
            QCheckBox *box = this->*(b.box);
            m_binder.bindCheck(box, b.key);
            connect(box, &QCheckBox::stateChanged, this, [this, click] { (this->*click)(); });
            w = box;
        }
        onLeave(w, b.validate);
    }

    // Auto read follows the box itself, whatever the record says.
    connect(m_check1, &QCheckBox::stateChanged, this,
            [this](int state) { m_session.setAutoRead(state != Qt::Unchecked); });

    // Stereo is TXStereo 1, mono 0; the slider's value is TXPower.
    m_binder.bindSlider(m_slider1, SettingKey::TXPower);
    m_binder.bindOption(m_option30, SettingKey::TXStereo, 1, 0);
    m_binder.bindOption(m_option31, SettingKey::TXStereo, 0, 1);

    // Every operator movement of the slider is stored; a keyboard change at the latest on leaving.
    connect(m_slider1, &QSlider::valueChanged, this, [this] { Slider1_Scroll(); });
    onLeave(m_slider1, &Form1::Slider1_Validate);

    // An option's click is its becoming selected; leaving it stores again.
    connect(m_option30, &QRadioButton::toggled, this, [this](bool on) { if (on) Option30_Click(); });
    connect(m_option31, &QRadioButton::toggled, this, [this](bool on) { if (on) Option31_Click(); });
    onLeave(m_option30, &Form1::Option30_Validate);
    onLeave(m_option31, &Form1::Option31_Validate);

    // The logo boxes: a click into a box, Return in it and leaving it all apply the line rule.
    onLeave(m_text7, &Form1::Text7_LostFocus);
    onLeave(m_text6, &Form1::Text6_LostFocus);
    m_pressHandlers.insert(m_text7, &Form1::Text7_Click);
    m_pressHandlers.insert(m_text6, &Form1::Text6_Click);
    connect(m_text7, &QLineEdit::returnPressed, this, [this] { Text7_Validate(); });
    connect(m_text6, &QLineEdit::returnPressed, this, [this] { Text6_Validate(); });
}

void Form1::fillList(const value_lists::List &list)
{
    m_binder.fill(control<QComboBox>(list.control), list.entries);
}

void Form1::applyLogoRule(QLineEdit *box, TextField field)
{
    const QString typed = box->text();
    const QString line = logo_line::applyRule(typed);
    if (line != typed) {
        const int cursor = box->cursorPosition();
        box->setText(line);
        box->setCursorPosition(qMin(cursor, int(line.size())));
    }
    settingsRecord().*field = line;
    SaveSettings();
    if (!logo_line::isLatin1(typed))
        statusBar()->showMessage(tr("The logo line holds characters the transmitter cannot show; they "
                                    "were replaced by \"?\"."));
}
