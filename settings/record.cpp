#include "settings/record.h"

SettingsRecord &settingsRecord()
{
    // Built on first use, so it exists (every field zero, false or empty) before anything reads it.
    static SettingsRecord record;
    return record;
}
