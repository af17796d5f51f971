#pragma once

#include "settings/keys.h"

#include <QString>
#include <QStringView>
#include <vector>

struct SettingsRecord;

// The 265 store keys, built from keys.def: name, field type, default, and how the field is
// read and written as text. LoadSettings and SaveSettings are loops over this table.
namespace settings_table {

enum class FieldType { Int16, Int32, Bool, Text };

struct Key {
    const char *name;      // the store key and the record field
    FieldType type;
    QString defaultText;   // the default in its stored form ("8", "True", "ZTK Electronics ")
    const char *legacyReadKey; // read from this key when `name` is absent (BaseAddress), else nullptr
};

// All keys, in the order SaveSettings writes them; keys()[int(SettingKey::X)] is key X.
const std::vector<Key> &keys();

// The record field of a key of that type, for binding a control to it once; nullptr when the key
// has another type.
qint16 SettingsRecord::*int16Member(SettingKey key);
bool SettingsRecord::*boolMember(SettingKey key);

// The field's value as stored text: decimal, "True"/"False", or the text unchanged.
QString fieldText(const SettingsRecord &record, int index);

// Converts `text` by the field's type and stores it. A text that does not convert (letters for
// a number, a number beyond the field's range, an empty text for a number or boolean) stores the
// key's default instead and returns false.
bool setFieldFromText(SettingsRecord &record, int index, QStringView text);

// Every field at its default.
SettingsRecord defaults();

} // namespace settings_table
