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
    const char *key; // "Pfwd="
    const char *initial; // "0.0W", the value before the first report
};

// Fields 1 to 15 in the order they are processed.
const std::array<Field, kTextFields> &fields();

// Bits of Display::carried besides the fifteen texts' (bit i for texts[i]).
constexpr int kAlarmCodeBit = kTextFields;
constexpr int kDriveBit = kTextFields + 1;

// What the display shows: the fifteen texts, the RF drive level (0 to 100) and the five alarm
// indicators (true = red). Starts with the initial texts, level 0 and all indicators off.
//
// Beside it, what the history records and the window does not show: the last alarm code text as it
// came (empty before the first), and which fields the last applied report carried, so that a
// field a report lacked is not taken for a reading.
struct Display {
    std::array<QString, kTextFields> texts;
    int driveLevel = 0;
    alarms::States alarms {};

    QString alarmCode;
    // Bit i: texts[i] came with the last report; kAlarmCodeBit, kDriveBit: the alarm code and a
    // drive level did.
    quint32 carried = 0;

    static Display initial();
    bool has(int bit) const { return (carried >> bit) & 1u; }
    // Compares what is shown.
    bool operator==(const Display &o) const
    {
        return texts == o.texts && driveLevel == o.driveLevel && alarms == o.alarms;
    }
};

// Applies one complete report (the buffer without its "$") to `display`. Each key is searched
// from the start independently and its first occurrence counts; a value runs up to the next ",".
// A key that is missing or whose value has no "," after it, and an "Audio=" followed by nothing or
// by a character below "0", keep their previous display; the rest of the report still applies.
// `carried` is set afresh: the fields this report had.
//
// Returns whether the text carried any field at all. One that carried none (a lone "$", noise on a
// floating line) is no report: it changes nothing, `carried` included, so the display still says
// what the last real report carried.
bool apply(QStringView report, Display &display);

} // namespace report
