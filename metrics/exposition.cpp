#include "metrics/exposition.h"

#include <QLocale>
#include <QtMath>

namespace metrics {

namespace {

// The report's text fields, as positions in report::fields().
enum Field {
    Forward = 0,
    Reflected = 1,
    PsuTemperature = 2,
    AmpTemperature = 3,
    FirstCurrent = 4,
    FirstVoltage = 8,
    Firmware = 13,
    PowerLimit = 14,
};

// The alarm label of each bit of the alarm code.
constexpr const char *kAlarmNames[]
    = { "amp_temperature", "swr", "psu_temperature", "over_current", "rf_overdrive" };

QByteArray number(double value)
{
    return QByteArray::number(value, 'g', QLocale::FloatingPointShortest);
}

// One metric family: its # HELP and # TYPE lines, written with its first sample only.
class Family
{
public:
    Family(QByteArray &out, const char *name, const char *type, const char *help)
        : m_out(out)
        , m_name(name)
        , m_type(type)
        , m_help(help)
    {
    }

    void sample(double value, const QByteArray &labels = {})
    {
        if (!m_started) {
            m_out += "# HELP " + m_name + ' ' + m_help + "\n# TYPE " + m_name + ' ' + m_type + '\n';
            m_started = true;
        }
        m_out += m_name;
        if (!labels.isEmpty())
            m_out += '{' + labels + '}';
        m_out += ' ' + number(value) + '\n';
    }

    void sample(const std::optional<double> &value, const QByteArray &labels = {})
    {
        if (value)
            sample(*value, labels);
    }

private:
    QByteArray &m_out;
    QByteArray m_name;
    QByteArray m_type;
    QByteArray m_help;
    bool m_started = false;
};

QByteArray label(const char *name, QStringView value)
{
    return QByteArray(name) + "=\"" + escapeLabelValue(value).toUtf8() + '"';
}

} // namespace

std::optional<double> leadingNumber(QStringView text)
{
    qsizetype i = 0;
    while (i < text.size() && (text[i] == u' ' || text[i] == u'\t'))
        ++i;
    const qsizetype start = i;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-'))
        ++i;
    const auto digits = [&] {
        const qsizetype from = i;
        while (i < text.size() && text[i] >= u'0' && text[i] <= u'9')
            ++i;
        return i - from;
    };
    const qsizetype whole = digits();
    qsizetype end = i;
    qsizetype fraction = 0;
    if (i < text.size() && text[i] == u'.') {
        ++i;
        fraction = digits();
        if (fraction > 0)
            end = i;
    }
    if (whole == 0 && fraction == 0)
        return std::nullopt;
    bool ok = false;
    const double value = QLocale::c().toDouble(text.mid(start, end - start), &ok);
    if (!ok || !qIsFinite(value))
        return std::nullopt;
    return value;
}

QString escapeLabelValue(QStringView text)
{
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar c : text) {
        if (c == u'\\')
            escaped += QLatin1String("\\\\");
        else if (c == u'"')
            escaped += QLatin1String("\\\"");
        else if (c == u'\n')
            escaped += QLatin1String("\\n");
        else
            escaped += c;
    }
    return escaped;
}

QString firmwareLabel(QStringView text)
{
    QString label;
    const qsizetype n = qMin<qsizetype>(text.size(), kFirmwareLabelLength);
    label.reserve(n);
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t c = text[i].unicode();
        label += (c >= 0x20 && c <= 0x7e) ? QChar(c) : QChar(u'?');
    }
    return label;
}

std::optional<double> standingWaveRatio(double forwardWatts, double reflectedWatts)
{
    if (!(forwardWatts > 0) || reflectedWatts < 0 || reflectedWatts >= forwardWatts)
        return std::nullopt;
    const double rho = std::sqrt(reflectedWatts / forwardWatts);
    return (1 + rho) / (1 - rho);
}

QByteArray render(const Snapshot &s)
{
    QByteArray out;
    const report::Display &d = s.display;
    // Before the first report the display holds placeholders; after it, a field the last report did
    // not carry still shows an older report's text, which is no reading of now. Only what the last
    // report carried is written.
    const bool known = s.reportsTotal > 0;
    const auto carried = [&](int bit) { return known && d.has(bit); };
    const auto field = [&](int i) { return carried(i) ? leadingNumber(d.texts[i]) : std::nullopt; };

    const std::optional<double> forward = field(Forward);
    const std::optional<double> reflected = field(Reflected);
    Family(out, "valtrona_forward_power_watts", "gauge", "Forward (output) power of the amplifier, in watts.")
        .sample(forward);
    Family(out, "valtrona_reflected_power_watts", "gauge",
        "Reflected power at the amplifier's output, in watts.")
        .sample(reflected);
    Family(out, "valtrona_swr_ratio", "gauge",
        "Standing wave ratio from forward and reflected power; absent without forward power.")
        .sample(forward && reflected ? standingWaveRatio(*forward, *reflected) : std::nullopt);
    Family(out, "valtrona_power_limit_watts", "gauge", "The amplifier's power limit, in watts.")
        .sample(field(PowerLimit));
    Family drive(out, "valtrona_rf_drive_level", "gauge", "RF drive level, 0 to 100.");
    if (carried(report::kDriveBit))
        drive.sample(d.driveLevel);

    Family temperature(out, "valtrona_temperature_celsius", "gauge", "Temperatures, in degrees Celsius.");
    temperature.sample(field(PsuTemperature), "sensor=\"psu\"");
    temperature.sample(field(AmpTemperature), "sensor=\"amplifier\"");
    Family current(out, "valtrona_current_amperes", "gauge", "Current of each amplifier, in amperes.");
    for (int i = 0; i < 4; ++i)
        current.sample(field(FirstCurrent + i), "amplifier=\"" + QByteArray::number(i + 1) + '"');
    Family voltage(out, "valtrona_voltage_volts", "gauge", "Voltage of each amplifier, in volts.");
    for (int i = 0; i < 4; ++i)
        voltage.sample(field(FirstVoltage + i), "amplifier=\"" + QByteArray::number(i + 1) + '"');

    Family alarm(out, "valtrona_alarm", "gauge", "Alarm indicators of the amplifier board: 1 on, 0 off.");
    // A code the indicators took (a text that is no code leaves them as an older report set them).
    if (carried(report::kAlarmCodeBit) && alarms::decode(d.alarmCode)) {
        for (int bit : { 1, 0, 2, 3, 4 }) // in the order of the board's indicators, left to right
            alarm.sample(d.alarms[bit] ? 1 : 0, QByteArray("alarm=\"") + kAlarmNames[bit] + '"');
    }

    Family(out, "valtrona_link_up", "gauge", "1 while the serial port to the transmitter is open, else 0.")
        .sample(s.linkUp ? 1 : 0);
    Family last(out, "valtrona_last_report_timestamp_seconds", "gauge",
        "When the last complete status report arrived, in seconds since the Unix epoch.");
    if (s.lastReport.isValid())
        last.sample(double(s.lastReport.toMSecsSinceEpoch()) / 1000.0);
    Family(out, "valtrona_reports_total", "counter", "Status reports received since the program started.")
        .sample(double(s.reportsTotal));
    Family(out, "valtrona_transmitter_info", "gauge",
        "The transmitter's firmware and the port it is on; always 1.")
        .sample(1,
            label("firmware", carried(Firmware) ? firmwareLabel(d.texts[Firmware]) : QString()) + ','
                + label("port", QStringLiteral("COM %1").arg(s.port)) + ',' + label("device", s.device));
    return out;
}

} // namespace metrics
