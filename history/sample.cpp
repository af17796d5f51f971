#include "history/sample.h"

#include "status/report.h"

#include <charconv>
#include <string>

namespace history {

namespace {

// Field numbers of report::fields().
constexpr int kUptimeField = 12;
constexpr int kFirmwareField = 13;

} // namespace

const std::array<SeriesInfo, kSeriesCount> &series()
{
    static const std::array<SeriesInfo, kSeriesCount> table { {
        { "forward", "forward_W", "W", 0 },
        { "reflected", "reflected_W", "W", 1 },
        { "swr", "swr", "", -1 },
        { "psu_temp", "psu_temp_C", "C", 2 },
        { "amp_temp", "amp_temp_C", "C", 3 },
        { "current1", "current1_A", "A", 4 },
        { "current2", "current2_A", "A", 5 },
        { "current3", "current3_A", "A", 6 },
        { "current4", "current4_A", "A", 7 },
        { "voltage1", "voltage1_V", "V", 8 },
        { "voltage2", "voltage2_V", "V", 9 },
        { "voltage3", "voltage3_V", "V", 10 },
        { "voltage4", "voltage4_V", "V", 11 },
        { "power_limit", "power_limit_W", "W", 14 },
        { "rf_drive", "rf_drive", "", -1 },
    } };
    return table;
}

std::optional<double> leadingNumber(QStringView text)
{
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && (text[i] == u' ' || text[i] == u'\t'))
        ++i;
    // ASCII only: other scripts' digits are no readings. Short texts stay in the string's own
    // buffer.
    std::string number;
    if (i < n && (text[i] == u'-' || text[i] == u'+'))
        number += char(text[i++].unicode());
    int digits = 0;
    bool point = false;
    for (; i < n; ++i) {
        const char16_t c = text[i].unicode();
        if (c >= u'0' && c <= u'9') {
            ++digits;
        } else if (c == u'.' && !point) {
            point = true;
        } else {
            break;
        }
        number += char(c);
    }
    if (digits == 0)
        return std::nullopt;
    if (number.back() == '.')
        number.pop_back(); // "7." is 7
    // from_chars reads a point whatever the locale (QCoreApplication takes the environment's), and
    // takes no "+" of its own.
    const char *first = number.data();
    const char *last = first + number.size();
    if (*first == '+')
        ++first;
    double value = 0;
    const auto [end, error] = std::from_chars(first, last, value, std::chars_format::fixed);
    if (error != std::errc() || end != last || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<double> standingWaveRatio(double forward, double reflected)
{
    if (!(forward > 0) || !(reflected >= 0) || !(reflected < forward))
        return std::nullopt;
    const double r = std::sqrt(reflected / forward);
    const double swr = (1 + r) / (1 - r);
    if (!std::isfinite(swr))
        return std::nullopt;
    return swr;
}

QString clampedText(const QString &text)
{
    if (text.size() <= kMaxTextLength)
        return text;
    qsizetype n = kMaxTextLength;
    if (text[n - 1].isHighSurrogate())
        --n;
    return text.left(n);
}

void Sample::clampTexts()
{
    alarmCode = clampedText(alarmCode);
    uptime = clampedText(uptime);
    firmware = clampedText(firmware);
}

void Sample::computeSwr()
{
    values[Swr] = kNoValue;
    if (hasValue(values[Forward]) && hasValue(values[Reflected])) {
        if (const auto swr = standingWaveRatio(values[Forward], values[Reflected]))
            values[Swr] = *swr;
    }
}

Sample Sample::fromDisplay(const report::Display &display, qint64 time)
{
    Sample s;
    s.time = time;
    const auto &table = series();
    for (int i = 0; i < kSeriesCount; ++i) {
        const int field = table[i].field;
        if (field >= 0 && display.has(field)) {
            if (const auto number = leadingNumber(display.texts[field]))
                s.values[i] = *number;
        }
    }
    if (display.has(report::kDriveBit))
        s.values[RfDrive] = display.driveLevel;
    s.computeSwr();
    // A text the report carried is never null, even when empty, so the database tells "empty"
    // from "not sent".
    auto carriedText = [&display](int bit, const QString &text) {
        return !display.has(bit) ? QString() : text.isNull() ? QStringLiteral("") : text;
    };
    s.alarmCode = carriedText(report::kAlarmCodeBit, display.alarmCode);
    s.uptime = carriedText(kUptimeField, display.texts[kUptimeField]);
    s.firmware = carriedText(kFirmwareField, display.texts[kFirmwareField]);
    s.clampTexts();
    return s;
}

} // namespace history
