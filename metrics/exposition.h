#pragma once

#include "status/report.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringView>
#include <optional>

// The amplifier's figures in Prometheus's text exposition format (version 0.0.4), the format of the
// files a node exporter's textfile collector serves. The report's fields arrive as texts with their
// units ("12.5W", "45C"); only their leading numbers become samples, and a field without one is left
// out rather than written as a wrong value.
namespace metrics {

// Everything one rewrite of the file says.
struct Snapshot {
    report::Display display; // as the session holds it; only the fields it carried are written
    qint64 reportsTotal = 0; // reports applied since the program started; 0: no value is known yet
    QDateTime lastReport; // when the last report was applied (invalid: none yet)
    bool linkUp = false; // the serial port is open
    int port = 0; // COM n
    QString device; // the device of COM n
};

// The whole file: every family with its # HELP and # TYPE lines, then its samples. Families
// without a sample (no report yet, or a field with no number) are left out whole.
QByteArray render(const Snapshot &snapshot);

// The number a field's text starts with ("12.5W" -> 12.5, " -3C" -> -3); nothing when it starts
// with anything else ("", "W", "n/a", "--"). Blanks before it are skipped.
std::optional<double> leadingNumber(QStringView text);

// `text` as a label value between double quotes: backslash, double quote and line feed escaped, so
// no text from the wire or the store can end the value early or start a line of its own.
QString escapeLabelValue(QStringView text);

// The firmware text as the info metric's label: its first kFirmwareLabelLength characters, each
// one outside printable ASCII (a control character, anything above "~") given as "?". The label
// names a series, so a report with kilobytes of wire text there must not make a series that long,
// nor one per byte of noise beyond the first 64.
constexpr qsizetype kFirmwareLabelLength = 64;
QString firmwareLabel(QStringView text);

// The standing wave ratio of forward and reflected power; nothing when it is not defined (no
// forward power, or reflected power as large as it).
std::optional<double> standingWaveRatio(double forwardWatts, double reflectedWatts);

} // namespace metrics
