#pragma once

#include <QByteArray>
#include <QRandomGenerator>
#include <QString>
#include <optional>

namespace sim {

// What a flood sends: the line delivering more than the panel can read, bounded in time. Reports
// back to back, line noise that never ends a report (no "$", so the panel's receive buffer runs
// into its bound), or noise of every byte value with whole reports between the runs.
enum class FloodKind { Reports, Noise, Mixed };

inline const char *floodKindName(FloodKind kind)
{
    switch (kind) {
    case FloodKind::Reports:
        return "reports";
    case FloodKind::Noise:
        return "noise";
    case FloodKind::Mixed:
        break;
    }
    return "mixed";
}

inline std::optional<FloodKind> floodKindFromName(const QString &name)
{
    for (FloodKind kind : { FloodKind::Reports, FloodKind::Noise, FloodKind::Mixed }) {
        if (name == QLatin1String(floodKindName(kind)))
            return kind;
    }
    return std::nullopt;
}

// The next piece of a flood. Pieces are whole: a flood that stops between two of them leaves no
// report cut short on the line.
inline QByteArray floodUnit(FloodKind kind, QRandomGenerator &random, const QByteArray &report)
{
    if (kind == FloodKind::Reports)
        return report;
    const bool noise = kind == FloodKind::Noise;
    QByteArray bytes(noise ? 256 + int(random.bounded(3841)) : 1 + int(random.bounded(512)), '\0');
    for (char &c : bytes) {
        c = char(random.bounded(256));
        if (noise && c == '$')
            c = '#';
    }
    return noise ? bytes : bytes + report;
}

} // namespace sim
