#include "config/scripts.h"

#include "config/logo_line.h"
#include "link/frames.h"
#include "settings/record.h"

#include <array>

namespace scripts {

namespace {

// One row of the settings download: the command, the setting it carries and its progress report.
struct SettingStep {
    frames::Command command;
    qint16 SettingsRecord::*field;
    const char *key;
    const char *name;
    const char *text;
    int value;
};

const std::array<SettingStep, 6> kSettingSteps = { {
    { frames::Command::FO, &SettingsRecord::TXPower, "TXPower", "Output power", "Setting output power... 15%",
        3 },
    { frames::Command::FAS, &SettingsRecord::SWRAlarm, "SWRAlarm", "SWR alarm", "Setting SWR alarm... 25%",
        6 },
    { frames::Command::FAT, &SettingsRecord::AmpTempAlarm, "AmpTempAlarm", "Amplifier temperature alarm",
        "Setting amplifier TEMP alarm... 40%", 9 },
    { frames::Command::FAU, &SettingsRecord::VoltageAlarm, "VoltageAlarm", "Power supply voltage alarm",
        "Setting power supply voltage alarm... 60%", 12 },
    { frames::Command::FAC, &SettingsRecord::CurrentAlarm, "CurrentAlarm", "Over-current alarm",
        "Setting current alarm... 75%", 15 },
    { frames::Command::FAA, &SettingsRecord::AutoFanTemp, "AutoFanTemp", "Fan activation temperature",
        "Setting Fan activation temperature... 90%", 18 },
} };

const QString kReady = QStringLiteral("Ready");

// The head of a frame: lead, letters, 01, each its own write.
void appendHead(Script &script, const frames::Frame &frame)
{
    script.append(Step::write(frame.lead));
    script.append(Step::write(frame.letters));
    script.append(Step::write(frame.start));
}

// A one-byte-value frame with its progress report between 01 and the value, then the pause.
void appendSettingFrame(Script &script, const frames::Frame &frame, const QString &text, int value)
{
    appendHead(script, frame);
    script.append(Step::progress(text, value));
    for (const QByteArray &piece : frame.value)
        script.append(Step::write(piece));
    script.append(Step::write(frame.end));
    script.append(Step::pause(kSettingsPauseMs));
}

// The progress reports of one logo line: at 01 (none for line 2) and after each of the four pieces.
struct LogoLineSteps {
    frames::Command command;
    const char *atStart;
    std::array<const char *, 4> afterPiece;
    std::array<int, 5> values; // at 01, after pieces 1 to 4
};

const LogoLineSteps kLine1 = { frames::Command::FL1, "Setting LOGO line1... 10%",
    { "Setting LOGO line1... 20%", "Setting LOGO line1... 30%", "Setting LOGO line1... 40%",
        "Setting LOGO line1... 50%" },
    { 1, 3, 4, 6, 8 } };
const LogoLineSteps kLine2 = { frames::Command::FL2, nullptr,
    { "Setting LOGO line2... 60%", "Setting LOGO line2... 70%", "Setting LOGO line2... 80%",
        "Setting LOGO line2... 90%" },
    { 0, 10, 12, 14, 16 } };

// A logo frame: lead, letters, 01, pause, then each four-character piece followed by its progress
// and a pause, then 02 and a pause. An absent piece writes nothing but keeps its progress and pause.
void appendLogoFrame(Script &script, const LogoLineSteps &steps, const QString &line, const Step *beforeEnd)
{
    const QByteArray bytes = logo_line::toBytes(line).left(logo_line::kLength);
    const frames::Frame frame = frames::logoFrame(steps.command, bytes);
    appendHead(script, frame);
    if (steps.atStart)
        script.append(Step::progress(QString::fromLatin1(steps.atStart), steps.values[0]));
    script.append(Step::pause(kLogoPauseMs));
    for (int piece = 0; piece < 4; ++piece) {
        if (piece < frame.value.size() && !frame.value.at(piece).isEmpty())
            script.append(Step::write(frame.value.at(piece)));
        script.append(Step::progress(QString::fromLatin1(steps.afterPiece[piece]), steps.values[piece + 1]));
        script.append(Step::pause(kLogoPauseMs));
    }
    if (beforeEnd)
        script.append(*beforeEnd);
    script.append(Step::write(frame.end));
    script.append(Step::pause(kLogoPauseMs));
}

} // namespace

std::variant<Script, QString> amplifier(const SettingsRecord &record)
{
    for (const SettingStep &s : kSettingSteps) {
        const int byte = int(record.*(s.field)) + 4;
        if (byte < 0 || byte > 255) {
            return QStringLiteral("Not sent: the stored %1 setting (%2 = %3) is out of range")
                .arg(QString::fromLatin1(s.name), QString::fromLatin1(s.key))
                .arg(int(record.*(s.field)));
        }
    }

    Script script;
    for (const SettingStep &s : kSettingSteps) {
        const char byte = char(quint8(int(record.*(s.field)) + 4));
        appendSettingFrame(script, frames::frame(s.command, byte), QString::fromLatin1(s.text), s.value);
    }
    appendSettingFrame(
        script, frames::storeSettings(), QStringLiteral("Sending store settings command... 100%"), 21);
    script.append(Step::progress(kReady, 0));
    return script;
}

Script logo(const SettingsRecord &record)
{
    Script script;
    appendLogoFrame(script, kLine1, record.LogoLine1, nullptr);
    const Step line2End = Step::progress(QStringLiteral("Setting LOGO line2... 95%"), 18);
    appendLogoFrame(script, kLine2, record.LogoLine2, &line2End);

    // FLS: head, progress, "0", 02, pause
    const frames::Frame store = frames::storeLogo();
    appendHead(script, store);
    script.append(Step::progress(QStringLiteral("Sending store settings command... 99%"), 20));
    for (const QByteArray &piece : store.value)
        script.append(Step::write(piece));
    script.append(Step::write(store.end));
    script.append(Step::pause(kLogoPauseMs));

    script.append(Step::progress(kReady, 0));
    return script;
}

Script statusRequest()
{
    // The progress report stands between the 01 and the value; no pause, no wait for the answer.
    const frames::Frame request = frames::statusRequest();
    Script script;
    appendHead(script, request);
    script.append(Step::progress(QStringLiteral("Requesting DATA from the transmitter... 60%"), 12));
    for (const QByteArray &piece : request.value)
        script.append(Step::write(piece));
    script.append(Step::write(request.end));
    script.append(Step::progress(kReady, 0));
    return script;
}

QByteArray bytesOf(const Script &script)
{
    QByteArray out;
    for (const Step &step : script) {
        if (step.kind == Step::Write)
            out += step.bytes;
    }
    return out;
}

} // namespace scripts
