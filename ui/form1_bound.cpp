// The setting-bound controls: every change of a list, check box, option, the slider or a logo box,
// and every departure of the focus from one, is copied into the settings record and saved at once.
#include "ui/form1.h"

#include "config/logo_line.h"
#include "settings/store.h"
#include "settings/table.h"
#include "settings/value_lists.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QStatusBar>

namespace {

// The check boxes and the setting each keeps; the lists name theirs in value_lists.
struct CheckBinding {
    const char *control;
    const char *setting;
};
const CheckBinding kCheckBindings[] = {{"Check1", "AutoRead"}, {"Check5", "TrayAtStart"}};

const char *settingOf(const char *control)
{
    if (const value_lists::List *list = value_lists::find(control))
        return list->setting;
    for (const CheckBinding &b : kCheckBindings)
        if (qstrcmp(b.control, control) == 0)
            return b.setting;
    return nullptr;
}

int keyIndex(const char *setting)
{
    const auto &keys = settings_table::keys();
    for (size_t i = 0; i < keys.size(); ++i)
        if (qstrcmp(keys[i].name, setting) == 0)
            return int(i);
    return -1;
}

} // namespace

void Form1::onLeave(QWidget *control, Handler handler)
{
    m_leaveHandlers.insert(control, handler);
    control->installEventFilter(this);
}

void Form1::wireBoundControls()
{
    struct Bound {
        const char *control;
        Handler click;
        Handler validate;
    };
    static const Bound bound[] = {
        {"Combo10", &Form1::Combo10_Click, &Form1::Combo10_Validate},
        {"Combo12", &Form1::Combo12_Click, &Form1::Combo12_Validate},
        {"Combo3", &Form1::Combo3_Click, &Form1::Combo3_Validate},
        {"Combo2", &Form1::Combo2_Click, &Form1::Combo2_Validate},
        {"Combo11", &Form1::Combo11_Click, &Form1::Combo11_Validate},
        {"Combo1", &Form1::Combo1_Click, &Form1::Combo1_Validate},
        {"Combo5", &Form1::Combo5_Click, &Form1::Combo5_Validate},
        {"Combo4", &Form1::Combo4_Click, &Form1::Combo4_Validate},
        {"Combo8", &Form1::Combo8_Click, &Form1::Combo8_Validate},
        {"Combo14", &Form1::Combo14_Click, &Form1::Combo14_Validate},
        {"Combo9", &Form1::Combo9_Click, &Form1::Combo9_Validate},
        {"Check1", &Form1::Check1_Click, &Form1::Check1_Validate},
        {"Check5", &Form1::Check5_Click, &Form1::Check5_Validate},
    };
    for (const Bound &b : bound) {
        QWidget *w = control<QWidget>(b.control);
        const Handler click = b.click;
        if (auto *combo = qobject_cast<QComboBox *>(w))
            connect(combo, &QComboBox::currentIndexChanged, this, [this, click] { (this->*click)(); });
        else if (auto *check = qobject_cast<QCheckBox *>(w))
            connect(check, &QCheckBox::stateChanged, this, [this, click] { (this->*click)(); });
        onLeave(w, b.validate);
    }

    // Auto read follows the box itself, whatever the record says.
    connect(m_check1, &QCheckBox::stateChanged, this,
            [this](int state) { m_session.setAutoRead(state != Qt::Unchecked); });

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

// The one mechanism behind the 26 click and validate handlers: the control's state, unchecked and
// unmapped, into its setting, then the whole store.
void Form1::storeBound(const char *name)
{
    const int index = keyIndex(settingOf(name));
    QWidget *w = control<QWidget>(name);
    if (index < 0 || !w)
        return;
    QString value;
    if (auto *combo = qobject_cast<QComboBox *>(w))
        value = QString::number(combo->currentIndex());
    else if (auto *check = qobject_cast<QCheckBox *>(w))
        value = check->checkState() == Qt::Checked ? QStringLiteral("True") : QStringLiteral("False");
    settings_table::setFieldFromText(settingsRecord(), index, value);
    SaveSettings();
}

// Appends the entries with nothing selected, then selects the stored position: that selection is a
// change of the list like any other and runs its click handler. A position the list does not hold
// leaves it without a selection, and the stored value as it was.
void Form1::fillList(const value_lists::List &list)
{
    auto *combo = control<QComboBox>(list.control);
    const int index = keyIndex(list.setting);
    if (!combo || index < 0)
        return;
    {
        const QSignalBlocker quiet(combo);
        combo->clear();
        combo->addItems(list.entries);
        combo->setCurrentIndex(-1);
    }
    bool ok = false;
    const int stored = settings_table::fieldText(settingsRecord(), index).toInt(&ok);
    if (ok && stored >= 0 && stored < combo->count())
        combo->setCurrentIndex(stored);
}

void Form1::Slider1_Scroll()
{
    settingsRecord().TXPower = static_cast<qint16>(m_slider1->value());
    SaveSettings();
}

void Form1::Option30_Click()
{
    settingsRecord().TXStereo = m_option30->isChecked() ? 1 : 0;
    SaveSettings();
}

void Form1::Option31_Click()
{
    settingsRecord().TXStereo = m_option31->isChecked() ? 0 : 1;
    SaveSettings();
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
