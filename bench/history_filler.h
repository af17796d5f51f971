#pragma once

#include <QString>

// Fills a history file as a panel would have over `days` days up to `end`: the last `rawDays` as
// reports through the report parser, the recorder (on a simulated clock) and the watch with its
// event log, exactly as the running panel keeps them; the days before as the folded rows the
// recorder would have left of them (minutes and hours from a sample of every second), with their
// alarm events. The transmitter is a StationScenario.
namespace history_filler {

struct Options {
    QString file;
    qint64 end = 0; // ms since 1970 UTC
    int days = 1;
    int rawDays = 8;
    quint32 seed = 1;
};

struct Result {
    bool ok = false;
    qint64 reports = 0; // through the recorder
    qint64 foldedSeconds = 0; // seconds folded directly
    qint64 events = 0;
    double seconds = 0; // how long filling took
    QString error;
};

Result fill(const Options &options);

} // namespace history_filler
