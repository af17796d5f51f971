#pragma once

#include <QByteArray>
#include <QList>
#include <vector>

// Realistic input for the receive path: status reports as the simulated board sends them, with
// readings that drift and jump from one report to the next, and now and then a few bytes of line
// noise in front of a report. Deterministic for a given seed.
namespace report_stream {

struct Stream {
    QByteArray bytes;
    int reports = 0; // "$"-ended reports in `bytes`
    int noiseBytes = 0; // bytes that belong to no report
};

// Reports (and noise, with the chance `noiseChance` before each) until at least `minBytes` bytes.
Stream make(qsizetype minBytes, double noiseChance = 0.1, quint32 seed = 1);

// `count` distinct complete reports, each ended by "$".
QList<QByteArray> distinctReports(int count, quint32 seed = 1);

// `bytes` cut into pieces of `burst` bytes (the last may be shorter), as the link delivers them.
std::vector<QByteArray> bursts(const QByteArray &bytes, int burst);

} // namespace report_stream
