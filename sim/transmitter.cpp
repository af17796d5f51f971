#include "sim/transmitter.h"

#include <QJsonArray>
#include <QtGlobal>
#include <algorithm>
#include <cmath>
#include <limits>

namespace sim {

namespace {

constexpr double kDriftTauMs = 120000.0; // temperatures settle over a few minutes
constexpr double kEfficiency = 0.7;
constexpr double kMaxDrivePercent = 110.0; // what the amplifier makes of an overdriven setting
constexpr const char *kFirmware = "1.40-sim";

constexpr std::array<double, 9> kAmpTempLevels { 40, 50, 60, 65, 70, 75, 80, 90, 95 }; // 04 .. 0C
constexpr std::array<double, 12> kFanLevels { 15, 20, 30, 40, 50, 60, 65, 70, 75, 80, 90, 95 }; // 04 .. 0F

size_t at(Setting s)
{
    return static_cast<size_t>(s);
}

std::optional<Setting> settingOf(Command c)
{
    switch (c) {
    case Command::FO:
        return Setting::Output;
    case Command::FAS:
        return Setting::SwrAlarm;
    case Command::FAT:
        return Setting::AmpTempAlarm;
    case Command::FAU:
        return Setting::VoltageAlarm;
    case Command::FAC:
        return Setting::CurrentAlarm;
    case Command::FAA:
        return Setting::FanTemp;
    default:
        return std::nullopt;
    }
}

// Position of a value byte in a list that starts at byte 04, clamped to the list.
int position(quint8 byte, int count)
{
    return std::clamp(int(byte) - 4, 0, count - 1);
}

double drift(double now, double target, qint64 ms)
{
    return target + (now - target) * std::exp(-double(ms) / kDriftTauMs);
}

QJsonObject logoJson(const QByteArray &line)
{
    return QJsonObject { { "text", QString::fromLatin1(line) },
        { "hex", QString::fromLatin1(line.toHex()) } };
}

} // namespace

const char *settingName(Setting s)
{
    static constexpr std::array<const char *, kSettingCount> names { "FO", "FAS", "FAT", "FAU", "FAC",
        "FAA" };
    return names[at(s)];
}

Transmitter::Transmitter()
    : m_stored { 0x04 + 10, 0x0D, 0x0A, 0x16, 0x0C, 0x07 }
    , m_logo { QByteArray("TRANSMITTER SIM "), QByteArray("  TEST  SIGNAL  ") }
{
}

void Transmitter::apply(Command command, const QByteArray &value)
{
    if (const auto s = settingOf(command)) {
        if (!value.isEmpty())
            m_pending[at(*s)] = static_cast<quint8>(value.at(0));
        return;
    }
    switch (command) {
    case Command::FW:
        for (int i = 0; i < kSettingCount; ++i) {
            if (m_pending[i])
                m_stored[i] = *m_pending[i];
            m_pending[i].reset();
        }
        ++m_storeCount;
        break;
    case Command::FL1:
    case Command::FL2:
        m_pendingLogo[command == Command::FL1 ? 0 : 1] = value;
        break;
    case Command::FLS:
        for (int i = 0; i < 2; ++i) {
            if (m_pendingLogo[i])
                m_logo[i] = *m_pendingLogo[i];
            m_pendingLogo[i].reset();
        }
        ++m_logoStoreCount;
        break;
    default:
        break;
    }
}

void Transmitter::advance(qint64 ms)
{
    m_uptimeMs += ms;
    // Small steps, so the fan switching on and off is followed smoothly.
    while (ms > 0) {
        const qint64 step = std::min<qint64>(ms, 1000);
        const double perWatt = fanRunning() ? 0.06 : 0.12;
        m_ampTemp = drift(m_ampTemp, kAmbientC + perWatt * forwardWatts(), step);
        m_psuTemp = drift(m_psuTemp, kAmbientC + 0.04 * forwardWatts(), step);
        ms -= step;
    }
}

int Transmitter::outputPercent() const
{
    return int(stored(Setting::Output)) - 4;
}

int Transmitter::driveLevel() const
{
    return std::clamp(outputPercent(), 0, 100);
}

double Transmitter::forwardWatts() const
{
    return kNominalWatts * std::clamp(double(outputPercent()), 0.0, kMaxDrivePercent) / 100.0;
}

double Transmitter::reflectedWatts() const
{
    return forwardWatts() * m_reflection;
}

double Transmitter::ampCurrent(int amp) const
{
    const double perAmp = forwardWatts() / kEfficiency / kSupplyVolts / 4.0;
    return perAmp * (1.0 + 0.02 * (amp - 1.5));
}

double Transmitter::ampVoltage(int amp) const
{
    return kSupplyVolts - 0.2 * ampCurrent(amp);
}

std::optional<double> Transmitter::ampTempLimit() const
{
    const quint8 b = stored(Setting::AmpTempAlarm);
    if (b >= 0x04 + kAmpTempLevels.size())
        return std::nullopt; // "Alarm off"
    return kAmpTempLevels[position(b, kAmpTempLevels.size())];
}

double Transmitter::reflectedLimit() const
{
    const int p = position(stored(Setting::SwrAlarm), 10);
    return p == 9 ? 99.0 : 10.0 * (p + 1);
}

double Transmitter::currentLimit() const
{
    return std::max(0, int(stored(Setting::CurrentAlarm)) - 2);
}

double Transmitter::fanOnTemp() const
{
    const quint8 b = stored(Setting::FanTemp);
    if (b >= 0x04 + kFanLevels.size())
        return std::numeric_limits<double>::infinity(); // "FAN Disabled"
    return kFanLevels[position(b, kFanLevels.size())];
}

double Transmitter::voltageLimit() const
{
    const int b = stored(Setting::VoltageAlarm);
    if (b <= 0x16)
        return 24.0 + 2.0 * std::max(0, b - 4);
    return b >= 0x1E ? 99.0 : 65.0 + 5.0 * (b - 0x17);
}

bool Transmitter::fanRunning() const
{
    return m_ampTemp > fanOnTemp();
}

int Transmitter::alarmCode() const
{
    int code = 0;
    if (const auto limit = ampTempLimit(); limit && m_ampTemp > *limit)
        code |= 1;
    if (reflectedWatts() > reflectedLimit())
        code |= 2;
    if (m_psuTemp > kPsuAlarmC)
        code |= 4;
    for (int i = 0; i < 4; ++i) {
        if (ampCurrent(i) > currentLimit()) {
            code |= 8;
            break;
        }
    }
    if (outputPercent() > 100)
        code |= 16;
    return code;
}

QByteArray Transmitter::report() const
{
    const qint64 minutes = m_uptimeMs / 60000;
    QString text = QStringLiteral("Pfwd=%1W,Pref=%2W,Tpsu=%3C,Tamp=%4C,")
                       .arg(forwardWatts(), 0, 'f', 1)
                       .arg(reflectedWatts(), 0, 'f', 1)
                       .arg(qRound(m_psuTemp))
                       .arg(qRound(m_ampTemp));
    for (int i = 0; i < 4; ++i)
        text += QStringLiteral("Iamp%1=%2A,").arg(i + 1).arg(ampCurrent(i), 0, 'f', 1);
    for (int i = 0; i < 4; ++i)
        text += QStringLiteral("Uamp%1=%2V,").arg(i + 1).arg(ampVoltage(i), 0, 'f', 1);
    text += QStringLiteral("Uptime=%1D:%2H:%3M,")
                .arg(minutes / 1440, 4, 10, QChar('0'))
                .arg(minutes / 60 % 24, 2, 10, QChar('0'))
                .arg(minutes % 60, 2, 10, QChar('0'));
    text += QStringLiteral("Firmware=%1,PowerLimit=%2W,AlarmCode=%3,Audio=")
                .arg(QLatin1String(kFirmware))
                .arg(qRound(kNominalWatts))
                .arg(alarmCode(), 2, 10, QChar('0'));
    QByteArray bytes = text.toLatin1();
    bytes += char(48 + driveLevel()); // the RF drive level as one character, "0" plus the level
    bytes += '$';
    return bytes;
}

QJsonObject Transmitter::stateJson() const
{
    QJsonObject stored, pending;
    for (int i = 0; i < kSettingCount; ++i) {
        stored[settingName(Setting(i))] = int(m_stored[i]);
        if (m_pending[i])
            pending[settingName(Setting(i))] = int(*m_pending[i]);
    }
    QJsonObject pendingLogo;
    for (int i = 0; i < 2; ++i) {
        if (m_pendingLogo[i])
            pendingLogo[QStringLiteral("line%1").arg(i + 1)] = logoJson(*m_pendingLogo[i]);
    }
    return QJsonObject {
        { "stored", stored },
        { "pending", pending },
        { "logo", QJsonObject { { "line1", logoJson(m_logo[0]) }, { "line2", logoJson(m_logo[1]) } } },
        { "pendingLogo", pendingLogo },
        { "storeCount", m_storeCount },
        { "logoStoreCount", m_logoStoreCount },
        { "outputPercent", outputPercent() },
        { "forwardWatts", forwardWatts() },
        { "ampTemp", m_ampTemp },
        { "psuTemp", m_psuTemp },
        { "fanRunning", fanRunning() },
        { "alarmCode", alarmCode() },
        { "uptimeMinutes", double(m_uptimeMs / 60000) },
    };
}

} // namespace sim
