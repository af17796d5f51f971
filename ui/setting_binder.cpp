#include "ui/setting_binder.h"

#include "settings/store.h"
#include "settings/table.h"

#include <QSlider>
#include <QCheckBox>
#include <QRadioButton>
#include <QComboBox>
#include <QSignalBlocker>

void SettingBinder::bindList(QComboBox *combo, SettingKey key)
{
    Binding b;
    b.combo = combo;
    b.position = settings_table::int16Member(key);
    if (!combo || !b.position)
        qFatal("A list is bound to %s, which is no 16-bit setting", settings_table::keys()[size_t(key)].name);
    m_bindings.insert(static_cast<const void *>(combo), b);
}

void SettingBinder::bindCheck(QCheckBox *box, SettingKey key)
{
    Binding b;
    b.box = box;
    b.flag = settings_table::boolMember(key);
    if (!box || !b.flag)
        qFatal("A check box is bound to %s, which is no boolean setting", settings_table::keys()[size_t(key)].name);
    m_bindings.insert(static_cast<const void *>(box), b);
}

void SettingBinder::bindSlider(QSlider *slider, SettingKey key)
{
    Binding b;
    b.slider = slider;
    b.position = settings_table::int16Member(key);
    if (!slider || !b.position)
        qFatal("A slider is bound to %s, which is no 16-bit setting", settings_table::keys()[size_t(key)].name);
    m_bindings.insert(static_cast<const void *>(slider), b);
}

void SettingBinder::bindOption(QRadioButton *option, SettingKey key, qint16 selected, qint16 cleared)
{
    Binding b;
    b.option = option;
    b.selected = selected;
    b.cleared = cleared;
    b.position = settings_table::int16Member(key);
    if (!option || !b.position)
        qFatal("An option is bound to %s, which is no 16-bit setting", settings_table::keys()[size_t(key)].name);
    m_bindings.insert(static_cast<const void *>(option), b);
}

void SettingBinder::storeBound(const void *control) const
{
    const auto it = m_bindings.constFind(control);
    if (it == m_bindings.constEnd())
        return;
    SettingsRecord &record = settingsRecord();
    if (it->combo)
        record.*(it->position) = qint16(it->combo->currentIndex());
    else if (it->box)
        record.*(it->flag) = it->box->checkState() == Qt::Checked;
    else if (it->slider)
        record.*(it->position) = qint16(it->slider->value());
    else
        record.*(it->position) = it->option->isChecked() ? it->selected : it->cleared;
    SaveSettings();
}

void SettingBinder::fill(QComboBox *combo, const QStringList &entries) const
{
    const auto it = m_bindings.constFind(static_cast<const void *>(combo));
    if (it == m_bindings.constEnd())
        return;
    {
        const QSignalBlocker quiet(combo);
        combo->clear();
        combo->addItems(entries);
        combo->setCurrentIndex(-1);
    }
    const int stored = settingsRecord().*(it->position);
    if (stored >= 0 && stored < combo->count())
        combo->setCurrentIndex(stored);
}
