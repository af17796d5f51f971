#include "ui/value_lists.h"

#include <cstring>

namespace value_lists {

namespace {

QStringList overCurrentEntries()
{
    // Position 0 is the board's factory level; positions 1 to 97 step one ampere from 3 A to 99 A.
    QStringList entries { QStringLiteral("2.0A(Default)") };
    for (int amperes = 3; amperes <= 99; ++amperes)
        entries << QString::number(amperes) + QStringLiteral(".0A");
    return entries;
}

const QStringList &toneEntries()
{
    static const QStringList entries { "-8.0dB", "-7.0dB", "-6.0dB", "-5.0dB", "-4.0dB", "-3.0dB", "-2.0dB",
        "-1.0dB", "0.0dB(Default)", "+1.0dB", "+2.0dB", "+3.0dB", "+4.0dB", "+5.0dB", "+6.0dB", "+7.0dB",
        "+8.0dB" };
    return entries;
}

const QStringList &gainEntries()
{
    static const QStringList entries { "-6.0dB", "-5.5dB", "-5.0dB", "-4.5dB", "-4.0dB", "-3.5dB", "-3.0dB",
        "-2.5dB", "-2.0dB", "-1.5dB", "-1.0dB", "-0.5dB", "0.0dB(Default)", "+0.5dB", "+1.0dB", "+1.5dB",
        "+2.0dB", "+2.5dB", "+3.0dB", "+3.5dB", "+4.0dB", "+4.5dB", "+5.0dB", "+5.5dB", "+6.0dB", "+8.0dB" };
    return entries;
}

} // namespace

const std::vector<List> &lists()
{
    static const std::vector<List> all = {
        { "Combo4", SettingKey::AmpTempAlarm, "Amplifier temperature alarm:",
            { ">40degC", ">50degC(Default)", ">60degC", ">65degC", ">70degC", ">75degC", ">80degC(Default)",
                ">90degC", ">95degC", "Alarm off" } },
        { "Combo8", SettingKey::VoltageAlarm, "PSU voltage alarm:",
            { ">24V", ">26V", ">28V", ">30V", ">32V", ">34V", ">36V", ">38V", ">40V", ">42V", ">44V", ">46V",
                ">48V", ">50V", ">52V", ">54V", ">56V", ">58V", ">60V", ">65V", ">70V", ">75V", ">80V",
                ">85V", ">90V", ">95V", ">99V" } },
        { "Combo5", SettingKey::SWRAlarm, "Reflected power alarm:",
            { ">10W", ">20W", ">30W", ">40W", ">50W", ">60W", ">70W", ">80W", ">90W", ">99W" } },
        { "Combo14", SettingKey::CurrentAlarm, "Over-current alarm:", overCurrentEntries() },
        { "Combo9", SettingKey::AutoFanTemp, "Fan activation temperature:",
            { ">15degC", ">20degC", ">30degC", ">40degC(Default)", ">50degC", ">60degC", ">65degC", ">70degC",
                ">75degC", ">80degC", ">90degC", ">95degC", "FAN Disabled" } },
        { "Combo2", SettingKey::RightGain, "RightGain:", gainEntries() },
        { "Combo3", SettingKey::LeftGain, "LeftGain:", gainEntries() },
        { "Combo11", SettingKey::Compression, "Compression:",
            { "1:1.00", "1:1.07", "1:1.14", "1:1.23", "1:1.33", "1:1.45", "1:1.60", "1:1.78",
                "1:2.00(Default)", "1:2.29", "1:2.67", "1:3.20", "1:4.00" } },
        { "Combo10", SettingKey::Treble, "Treble:", toneEntries() },
        { "Combo12", SettingKey::Bass, "Bass:", toneEntries() },
        { "Combo1", SettingKey::Threshold, "Threshold:",
            { "0.0dB", "-1.50dB", "-3.00dB", "-4.50dB", "-6.00dB", "-7.50dB", "-9.00dB", "-10.50dB",
                "-12dB(75uS)", "-13.50dB", "-15dB(50uS)", "-16.50dB", "-18.00dB", "-19.50dB", "-21.00dB",
                "-22.50dB", "-24.00dB", "-25.50dB", "-27.00dB", "-28.50dB", "-30.00dB" } },
    };
    return all;
}

const List *find(const char *control)
{
    if (!control)
        return nullptr;
    for (const List &list : lists()) {
        if (std::strcmp(list.control, control) == 0)
            return &list;
    }
    return nullptr;
}

const List &get(const char *control)
{
    const List *list = find(control);
    if (!list)
        qFatal("No value list for %s", control);
    return *list;
}

} // namespace value_lists
