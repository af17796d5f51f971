#pragma once

#include "sim/frame_decoder.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <array>
#include <optional>

namespace sim {

// The six amplifier settings in the order the panel sends them, as their value bytes.
enum class Setting { Output, SwrAlarm, AmpTempAlarm, VoltageAlarm, CurrentAlarm, FanTemp };
constexpr int kSettingCount = 6;

// The simulated amplifier board: what it holds (settings and logo lines, pending until their store
// command arrives), how its readings follow the stored output power and time, and the status report
// it answers with. No I/O; time comes in through advance().
class Transmitter
{
public:
    static constexpr double kNominalWatts = 300.0;
    static constexpr double kAmbientC = 25.0;
    static constexpr double kPsuAlarmC = 70.0; // the PSU has a fixed temperature limit
    static constexpr double kSupplyVolts = 48.0;

    Transmitter();

    // Carries out one decoded frame. FM asks for a report and changes nothing here.
    void apply(Command command, const QByteArray &value);

    // Lets `ms` milliseconds pass: uptime counts, temperatures drift towards their settled values.
    void advance(qint64 ms);

    // The live report, fields from "Pfwd=" to "Audio=", ended by "$".
    QByteArray report() const;

    // Readings.
    double forwardWatts() const;
    double reflectedWatts() const;
    double ampTemp() const { return m_ampTemp; }
    double psuTemp() const { return m_psuTemp; }
    double ampCurrent(int amp) const; // amp 0 to 3
    double ampVoltage(int amp) const;
    int outputPercent() const; // the stored output byte minus 4 (may exceed 100)
    int driveLevel() const; // 0 to 100
    bool fanRunning() const;
    int alarmCode() const; // bit 0 amp temp, 1 reflected, 2 PSU temp, 3 current, 4 overdrive

    // The stored alarm levels in the readings' units; an empty optional for "alarm off".
    std::optional<double> ampTempLimit() const;
    double reflectedLimit() const;
    double currentLimit() const;
    double fanOnTemp() const; // the fan never runs when disabled (infinity)
    double voltageLimit() const;

    // Test levers: force a reading now (it then drifts again) or the reflected share of the power.
    void setAmpTemp(double c) { m_ampTemp = c; }
    void setPsuTemp(double c) { m_psuTemp = c; }
    void setReflection(double fraction) { m_reflection = fraction; }
    void setUptimeMinutes(qint64 minutes) { m_uptimeMs = minutes * 60000; }

    quint8 stored(Setting s) const { return m_stored[static_cast<size_t>(s)]; }
    std::optional<quint8> pending(Setting s) const { return m_pending[static_cast<size_t>(s)]; }
    QByteArray storedLogo(int line) const { return m_logo[line - 1]; } // line 1 or 2
    std::optional<QByteArray> pendingLogo(int line) const { return m_pendingLogo[line - 1]; }
    int storeCount() const { return m_storeCount; }
    int logoStoreCount() const { return m_logoStoreCount; }

    // Everything above as JSON (settings as their bytes, logo lines as Latin-1 text and hex).
    QJsonObject stateJson() const;

private:
    std::array<quint8, kSettingCount> m_stored;
    std::array<std::optional<quint8>, kSettingCount> m_pending;
    std::array<QByteArray, 2> m_logo;
    std::array<std::optional<QByteArray>, 2> m_pendingLogo;
    double m_ampTemp = kAmbientC;
    double m_psuTemp = kAmbientC;
    double m_reflection = 0.01;
    qint64 m_uptimeMs = 0;
    int m_storeCount = 0;
    int m_logoStoreCount = 0;
};

const char *settingName(Setting s); // the letters of the command that sets it: "FO", "FAS", ...

} // namespace sim
