#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <variant>

struct SettingsRecord;

// A download as data: the steps the runner carries out in order. Built by pure functions from the
// settings record at the moment the button is pressed.
namespace scripts {

struct Step {
    enum Kind { Write, Progress, Pause };
    Kind kind;
    QByteArray bytes;   // Write: one field of a frame
    QString text;       // Progress: status bar text
    int value = 0;      // Progress: ProgressBar1 value (0 to 21)
    int ms = 0;         // Pause: milliseconds, counted from the write before it

    static Step write(const QByteArray &b) { return {Write, b, {}, 0, 0}; }
    static Step progress(const QString &t, int v) { return {Progress, {}, t, v, 0}; }
    static Step pause(int ms) { return {Pause, {}, {}, 0, ms}; }
    bool operator==(const Step &o) const
    {
        return kind == o.kind && bytes == o.bytes && text == o.text && value == o.value && ms == o.ms;
    }
};

using Script = QList<Step>;

constexpr int kSettingsPauseMs = 600;
constexpr int kLogoPauseMs = 1000;

// "Update amplifier": FO, FAS, FAT, FAU, FAC, FAA from the record (value + 4), then FW, each
// followed by 600 ms, then "Ready" / 0. A setting whose value + 4 lies outside 0 to 255 gives an
// error text naming it instead, and nothing is written.
std::variant<Script, QString> amplifier(const SettingsRecord &record);

// "Update Logo text": FL1, FL2 in four-character pieces and FLS, with thirteen 1000 ms pauses and
// the progress of the logo download, then "Ready" / 0. Lines are sent as stored: a shorter line
// gives fewer bytes, a longer one is cut after 16 characters.
Script logo(const SettingsRecord &record);

// "Read status": 00 "FM" 01, progress "Requesting DATA from the transmitter... 60%" / 12, " " 02,
// then "Ready" / 0. No pause: the runner carries it out whole within the call that starts it.
Script statusRequest();

// All bytes a script writes, joined.
QByteArray bytesOf(const Script &script);

} // namespace scripts
