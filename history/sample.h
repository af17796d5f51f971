#pragma once

#include <QString>
#include <QStringView>
#include <array>
#include <cmath>
#include <limits>
#include <optional>

namespace report {
struct Display;
}

// One applied report as the history keeps it: when it came, the numbers its fields' texts start
// with, the standing wave ratio worked out from the two powers, and the texts that are no numbers,
// as they came. The display goes on showing the texts exactly as received; only the history reads
// numbers out of them.
namespace history {

// The numbers of a sample, in the order of the CSV's columns.
enum Series {
    Forward,
    Reflected,
    Swr,
    PsuTemp,
    AmpTemp,
    Current1,
    Current2,
    Current3,
    Current4,
    Voltage1,
    Voltage2,
    Voltage3,
    Voltage4,
    PowerLimit,
    RfDrive,
    kSeriesCount
};

struct SeriesInfo {
    const char *column; // the database's column (and prefix of the folded ones): "forward"
    const char *csv; // the CSV's column: "forward_W"
    const char *unit; // "W", "C", "A", "V", "" for the ratio and the drive level
    int field; // the report's text field it is read from (report::fields()), -1: none
};

const std::array<SeriesInfo, kSeriesCount> &series();

// The number a field's text starts with: optional blanks, an optional sign, then decimal digits
// with at most one decimal point ("12.5W" 12.5, "0500W" 500, "-3C" -3, ".5A" 0.5, "7." 7). What
// follows is the unit or anything else, and is ignored. Nothing when the text does not start with
// one (empty, "W", "-", "abc", "1e5" gives 1), or when it is too large to hold.
std::optional<double> leadingNumber(QStringView text);

// The standing wave ratio from the forward and the reflected power: (1 + r) / (1 - r) with
// r = sqrt(reflected / forward). Nothing without forward power, with a negative reflected power,
// or when the reflected power is not below the forward (the ratio would be infinite).
std::optional<double> standingWaveRatio(double forward, double reflected);

// The longest text the history stores (an uptime, a firmware name, an alarm code): a longer one is
// cut, so that the wire's texts cannot make the rows large.
constexpr int kMaxTextLength = 64;
// `text` cut to kMaxTextLength characters (never inside a surrogate pair); null stays null.
QString clampedText(const QString &text);

constexpr double kNoValue = std::numeric_limits<double>::quiet_NaN();
inline bool hasValue(double v)
{
    return !std::isnan(v);
}

struct Sample {
    qint64 time = 0; // milliseconds since 1970-01-01 UTC
    std::array<double, kSeriesCount> values; // kNoValue where the report gave none
    // As received (cut to kMaxTextLength); a null text when the report did not carry the field.
    QString alarmCode;
    QString uptime;
    QString firmware;

    Sample() { values.fill(kNoValue); }

    // The display after a report was applied: only the fields that report carried count.
    static Sample fromDisplay(const report::Display &display, qint64 time);
    // Sets the SWR from the two powers (no value when either is missing).
    void computeSwr();
    // Cuts the texts to kMaxTextLength.
    void clampTexts();
};

} // namespace history
