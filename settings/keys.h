#pragma once

// The 265 store keys as an enum, in the order SaveSettings writes them, generated from keys.def:
// a misspelt key is a compile error, and a key's number is its row in the table.
enum class SettingKey : int {
#define SETTING(type, key, def, legacy) key,
#include "settings/keys.def"
#undef SETTING
};

constexpr int kSettingCount = 0
#define SETTING(type, key, def, legacy) +1
#include "settings/keys.def"
#undef SETTING
    ;
static_assert(kSettingCount == 265, "the store has 265 keys");
