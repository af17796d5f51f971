#pragma once

#include "settings/keys.h"
#include "settings/record.h"

#include <QHash>
#include <QStringList>

class QCheckBox;
class QComboBox;
class QObject;

// Binds the window's lists and check boxes to their settings once, at start-up: a list to a 16-bit
// key (its position), a check box to a boolean key. A change then goes straight from the control
// into its record field and the store is saved: no look-up by name and no trip through text.
class SettingBinder
{
public:
    // Binding a key of another type is a programming error and stops the program at start-up.
    void bindList(QComboBox *combo, SettingKey key);
    void bindCheck(QCheckBox *box, SettingKey key);

    // The control's state into its field, then the whole store.
    void store(const QComboBox *combo) const { storeBound(reinterpret_cast<const void *>(combo)); }
    void store(const QCheckBox *box) const { storeBound(reinterpret_cast<const void *>(box)); }

    // Fills `combo` with `entries`, nothing selected, then selects the stored position: that
    // selection is a change like any other and runs the list's handler. A position the list does not
    // hold leaves it without a selection and the stored value as it was.
    void fill(QComboBox *combo, const QStringList &entries) const;

private:
    void storeBound(const void *control) const;

    struct Binding {
        QComboBox *combo = nullptr;
        QCheckBox *box = nullptr;
        qint16 SettingsRecord::*position = nullptr;
        bool SettingsRecord::*flag = nullptr;
    };
    QHash<const void *, Binding> m_bindings; // by the control's address
};
