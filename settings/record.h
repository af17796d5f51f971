#pragma once

#include <QString>
#include <QtGlobal>

namespace settings_types {
using Int16 = qint16;
using Int32 = qint32;
using Bool = bool;
using Text = QString;
} // namespace settings_types

// The in-memory copy of every persisted setting: one field per store key, bearing the key's name.
// Every value sent to the transmitter is read from here, never from a control.
struct SettingsRecord {
#define SETTING(type, key, def, legacy) settings_types::type key{};
#include "settings/keys.def"
#undef SETTING
};

// The one process-wide record. Every field is zero, false or empty until LoadSettings fills it.
SettingsRecord &settingsRecord();
