#pragma once

#include "settings/keys.h"
#include "settings/record.h"

#include <QHash>
#include <QStringList>

class QSlider;
class QCheckBox;
class QComboBox;
class QRadioButton;

// Binds the window's setting-bound controls to their settings once, at start-up: a list to a 16-bit
// key (its position), a check box to a boolean key, a slider to a 16-bit key (its value), an option
// to a 16-bit key and the value it stands for. A change then goes straight from the control
// into its record field and the store is saved: no look-up by name and no trip through text.
class SettingBinder
{
public:
    // Binding a key of another type is a programming error and stops the program at start-up.
    void bindList(QComboBox *combo, SettingKey key);
    void bindCheck(QCheckBox *box, SettingKey key);
    void bindSlider(QSlider *slider, SettingKey key);
    // A selected option stores `selected`, a cleared one `cleared`.
    void bindOption(QRadioButton *option, SettingKey key, qint16 selected, qint16 cleared);

    // The control's state into its field, then the whole store.
    void store(const QComboBox *combo) const { storeBound(reinterpret_cast<const void *>(combo)); }
    void store(const QCheckBox *box) const { storeBound(reinterpret_cast<const void *>(box)); }
    void store(const QSlider *slider) const { storeBound(reinterpret_cast<const void *>(slider)); }
    void store(const QRadioButton *option) const { storeBound(reinterpret_cast<const void *>(option)); }

    // Fills `combo` with `entries`, nothing selected, then selects the stored position: that
    // selection is a change like any other and runs the list's handler. A position the list does not
    // hold leaves it without a selection and the stored value as it was.
    void fill(QComboBox *combo, const QStringList &entries) const;

private:
    void storeBound(const void *control) const;

    struct Binding {
        QComboBox *combo = nullptr;
        QCheckBox *box = nullptr;
        QSlider *slider = nullptr;
        QRadioButton *option = nullptr;
        qint16 selected = 0, cleared = 0;
        qint16 SettingsRecord::*position = nullptr; // or value
        bool SettingsRecord::*flag = nullptr;
    };
    QHash<const void *, Binding> m_bindings; // by the control's address
};
