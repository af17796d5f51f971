#pragma once

#include "status/alarms.h"

#include <QString>
#include <QStringView>
#include <array>

// The status report's fields: their keys and the values the display model holds for them. Which
// control shows a field, under which caption, is the window's business.
namespace report {

constexpr int kTextFields = 15;

struct Field {
    const char *key;      // "Pfwd="
    const char *initial;  // "0.0W", the value before the first report
};

// Fields 1 to 15 in the order they are processed.
const std::array<Field, kTextFields> &fields();

// What the display shows: the fifteen texts, the RF drive level (0 to 100) and the five alarm
// indicators (true = red). Starts with the initial texts, level 0 and all indicators off.
struct Display {
    std::array<QString, kTextFields> texts;
    int driveLevel = 0;
    alarms::States alarms{};

    static Display initial();
    bool operator==(const Display &o) const
    {
        return texts == o.texts && driveLevel == o.driveLevel && alarms == o.alarms;
    }
};

// Applies one complete report (the buffer without its "$") to `display`. Each key is searched
// from the start independently and its first occurrence counts; a value runs up to the next ",".
// A key that is missing or whose value has no "," after it, and an "Audio=" followed by nothing or
// by a character below "0", keep their previous display; the rest of the report still applies.
void apply(QStringView report, Display &display);

} // namespace report
