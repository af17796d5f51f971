#pragma once

#include "settings/keys.h"

#include <QStringList>
#include <vector>

// The eleven fixed drop-down lists of the main window: their control, label, entries in position
// order and the setting that keeps each list's chosen position. Window data: the core knows only the
// settings.
namespace value_lists {

struct List {
    const char *control;  // "Combo14"
    SettingKey setting;   // SettingKey::CurrentAlarm
    const char *label;    // "Over-current alarm:"
    QStringList entries;
};

// In the order the start-up fills them: Combo4, Combo8, Combo5, Combo14, Combo9, Combo2, Combo3,
// Combo11, Combo10, Combo12, then Combo1.
const std::vector<List> &lists();

// The list of a control, or nullptr.
const List *find(const char *control);
// The list of a control the window has; an unknown name is a programming error and stops the program.
const List &get(const char *control);

} // namespace value_lists
