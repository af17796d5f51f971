#include "bench/station_scenario.h"

#include "history/sample_store.h"

#include <QString>
#include <cmath>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr qint64 kSilenceEvery = 11 * history::kHourMs;
constexpr qint64 kSilenceFor = 40 * history::kMinuteMs;
constexpr qint64 kSwrEvery = 9 * history::kHourMs + 17 * history::kMinuteMs;
constexpr qint64 kSwrFor = 25 * history::kMinuteMs;
constexpr double kReflectedLimit = 10.0; // W, the SWR alarm level of the scenario

double hourOfDay(qint64 time)
{
    return double(((time % history::kDayMs) + history::kDayMs) % history::kDayMs) / double(history::kHourMs);
}

double round1(double v)
{
    return std::round(v * 10.0) / 10.0;
}

} // namespace

StationScenario::StationScenario(qint64 start, quint32 seed)
    : m_start(start)
    , m_random(seed)
{
}

bool StationScenario::silentAt(qint64 time) const
{
    const qint64 since = time - m_start;
    return since >= 0 && since % kSilenceEvery >= kSilenceEvery - kSilenceFor;
}

int StationScenario::alarmBitsAt(qint64 time) const
{
    const qint64 since = time - m_start;
    return since >= 0 && since % kSwrEvery >= kSwrEvery - kSwrFor ? 2 : 0;
}

StationScenario::Readings StationScenario::readingsAt(qint64 time)
{
    Readings r {};
    const double hour = hourOfDay(time);
    const bool night = hour < 6 || hour >= 22;
    r.drive = night ? 40 : 60;
    const double noise = (m_random.generateDouble() - 0.5);
    r.forward = round1(300.0 * r.drive / 100.0 + noise * 1.2);
    const double days = double(time - m_start) / double(history::kDayMs);
    double share = 0.010 + 0.0004 * days + (m_random.generateDouble() - 0.5) * 0.002;
    if (alarmBitsAt(time) & 2)
        share = 0.075 + (m_random.generateDouble() - 0.5) * 0.01;
    r.reflected = round1(r.forward * share);
    const double warmth = 5.0 * std::sin(2 * kPi * (hour - 9.0) / 24.0);
    r.amp = std::round(25.0 + warmth + 0.12 * r.forward + (m_random.generateDouble() - 0.5));
    r.psu = std::round(25.0 + warmth + 0.04 * r.forward + (m_random.generateDouble() - 0.5));
    for (int i = 0; i < 4; ++i) {
        const double perAmp = r.forward / 0.7 / 48.0 / 4.0 * (1.0 + 0.02 * (i - 1.5));
        r.current[i] = round1(perAmp + (m_random.generateDouble() - 0.5) * 0.1);
        r.voltage[i] = round1(48.0 - 0.2 * r.current[i] + (m_random.generateDouble() - 0.5) * 0.1);
    }
    r.alarms = alarmBitsAt(time);
    if (r.reflected > kReflectedLimit)
        r.alarms |= 2;
    return r;
}

history::Sample StationScenario::sampleAt(qint64 time)
{
    const Readings r = readingsAt(time);
    history::Sample s;
    s.time = time;
    s.values[history::Forward] = r.forward;
    s.values[history::Reflected] = r.reflected;
    s.values[history::PsuTemp] = r.psu;
    s.values[history::AmpTemp] = r.amp;
    for (int i = 0; i < 4; ++i) {
        s.values[history::Current1 + i] = r.current[i];
        s.values[history::Voltage1 + i] = r.voltage[i];
    }
    s.values[history::PowerLimit] = 500;
    s.values[history::RfDrive] = r.drive;
    s.computeSwr();
    const qint64 minutes = (time - m_start) / history::kMinuteMs + 3 * 1440;
    s.alarmCode = QStringLiteral("%1").arg(r.alarms, 2, 10, QLatin1Char('0'));
    s.uptime = QStringLiteral("%1D:%2H:%3M")
                   .arg(minutes / 1440, 4, 10, QLatin1Char('0'))
                   .arg(minutes / 60 % 24, 2, 10, QLatin1Char('0'))
                   .arg(minutes % 60, 2, 10, QLatin1Char('0'));
    s.firmware = QStringLiteral("1.40");
    return s;
}

QByteArray StationScenario::reportAt(qint64 time)
{
    const history::Sample s = sampleAt(time);
    auto n = [&s](int i, int decimals) { return QString::number(s.values[i], 'f', decimals); };
    QString text = QStringLiteral("Pfwd=%1W,Pref=%2W,Tpsu=%3C,Tamp=%4C,")
                       .arg(n(history::Forward, 1), n(history::Reflected, 1), n(history::PsuTemp, 0),
                           n(history::AmpTemp, 0));
    for (int i = 0; i < 4; ++i)
        text += QStringLiteral("Iamp%1=%2A,").arg(i + 1).arg(n(history::Current1 + i, 1));
    for (int i = 0; i < 4; ++i)
        text += QStringLiteral("Uamp%1=%2V,").arg(i + 1).arg(n(history::Voltage1 + i, 1));
    text += QStringLiteral("Uptime=%1,Firmware=%2,PowerLimit=500W,AlarmCode=%3,Audio=")
                .arg(s.uptime, s.firmware, s.alarmCode);
    QByteArray bytes = text.toLatin1();
    bytes += char(48 + int(s.values[history::RfDrive]));
    return bytes;
}
