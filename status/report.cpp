#include "status/report.h"

#include <QString>
#include <optional>

namespace report {

namespace {

constexpr QLatin1String kAlarmKey("AlarmCode=");
constexpr QLatin1String kAudioKey("Audio=");

// The value of `key` in `text`: from just past the key's first occurrence up to the next ",".
// Empty optional when the key is missing or no "," follows it.
std::optional<QStringView> valueOf(QStringView text, QLatin1String key)
{
    const qsizetype at = text.indexOf(key);
    if (at < 0)
        return std::nullopt;
    const qsizetype start = at + key.size();
    const qsizetype comma = text.indexOf(u',', start);
    if (comma < 0)
        return std::nullopt;
    return text.mid(start, comma - start);
}

} // namespace

const std::array<Field, kTextFields> &fields()
{
    static const std::array<Field, kTextFields> table { {
        { "Pfwd=", "0.0W" },
        { "Pref=", "0.0W" },
        { "Tpsu=", "20C" },
        { "Tamp=", "20C" },
        { "Iamp1=", "0.0A" },
        { "Iamp2=", "0.0A" },
        { "Iamp3=", "0.0A" },
        { "Iamp4=", "0.0A" },
        { "Uamp1=", "0.0V" },
        { "Uamp2=", "0.0V" },
        { "Uamp3=", "0.0V" },
        { "Uamp4=", "0.0V" },
        { "Uptime=", "0000D:00H:00M" },
        { "Firmware=", "-------" },
        { "PowerLimit=", "9999W" },
    } };
    return table;
}

Display Display::initial()
{
    Display d;
    for (int i = 0; i < kTextFields; ++i)
        d.texts[i] = QString::fromLatin1(fields()[i].initial);
    return d;
}

bool apply(QStringView report, Display &display)
{
    const auto &table = fields();
    quint32 carried = 0;
    for (int i = 0; i < kTextFields; ++i) {
        const auto value = valueOf(report, QLatin1String(table[i].key));
        if (!value)
            continue;
        carried |= 1u << i;
        // Skip the assignment when nothing changed, so an unchanged field costs no allocation.
        if (display.texts[i] != *value)
            display.texts[i] = value->toString();
    }

    if (const auto code = valueOf(report, kAlarmKey)) {
        carried |= 1u << kAlarmCodeBit;
        if (display.alarmCode != *code)
            display.alarmCode = code->toString();
        if (const auto states = alarms::decode(*code))
            display.alarms = *states;
    }

    const qsizetype audio = report.indexOf(kAudioKey);
    if (audio >= 0) {
        const qsizetype at = audio + kAudioKey.size();
        if (at < report.size()) {
            const int level = int(report[at].unicode()) - '0';
            if (level >= 0) {
                display.driveLevel = level > 100 ? 100 : level;
                carried |= 1u << kDriveBit;
            }
        }
    }
    if (carried == 0)
        return false;
    display.carried = carried;
    return true;
}

} // namespace report
