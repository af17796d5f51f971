#pragma once

#include "history/sample.h"

#include <QByteArray>
#include <QRandomGenerator>

// A transmitter in service as its history would show it, for filling history files: the output
// power at 60 % by day and 40 % at night, with a little noise; the temperatures following the power
// and the day's warmth; the reflected power creeping up as an antenna ages, now and then high
// enough for the SWR alarm; and now and then the panel closed for a while (no reports). Every
// reading is a function of the time and the seed, so a sample can be made for any second without
// going through the seconds before it.
class StationScenario
{
public:
    explicit StationScenario(qint64 start, quint32 seed = 1);

    // No report at `time` (the panel was closed): one 40-minute pause every 11 hours.
    bool silentAt(qint64 time) const;
    // The readings at `time` as a sample (numbers only, texts as the report would carry them).
    history::Sample sampleAt(qint64 time);
    // The same as the transmitter's status report text (without the "$").
    QByteArray reportAt(qint64 time);
    // The alarm code bits at `time`.
    int alarmBitsAt(qint64 time) const;

private:
    struct Readings {
        double forward, reflected, psu, amp, current[4], voltage[4];
        int drive;
        int alarms;
    };
    Readings readingsAt(qint64 time);

    qint64 m_start;
    QRandomGenerator m_random;
};
