#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

// What valtrona-panel's command line asks for. It is read before any application object exists, so
// --help, --version and a mistyped option are answered on the terminal with no display at all; with
// no argument the window starts as it always has. Qt's own options (-platform, -style, ...) are let
// through for QApplication to take.
struct CommandLine {
    enum class Action {
        RunWindow, // start the window
        Exit, // print `output` and `error`, and end with `exitStatus`
        PrintEvents, // print the event log as CSV and end
        RunHeadless, // watch the transmitter without a window until SIGTERM or SIGINT
        ExportCsv, // write the recorded samples to `exportFile` as CSV and end
    };

    // The exit status of a command line that cannot be followed.
    static constexpr int kUsageError = 2;

    Action action = Action::RunWindow;
    int exitStatus = 0;
    QString output; // for standard output: the help or the version
    QString error; // for standard error: what was wrong, and where to look next
    QString metricsDir; // --metrics-dir: the folder of valtrona.prom (empty: the store's, if any)

    // --export-csv: the file ("-": standard output) and the span, UTC; an invalid time is open.
    QString exportFile;
    QDateTime from;
    QDateTime to;

    // A TIME of --from and --to: ISO 8601 ("2026-05-01", "2026-05-01T10:00", "...:30.250", with "Z"
    // or an offset such as "+02:00"); UTC when it has no offset. Invalid when it does not read.
    static QDateTime parseTime(const QString &text);

    // `arguments` as the program got them, the first being the program itself.
    static CommandLine parse(const QStringList &arguments);
    static CommandLine parse(int argc, char **argv);

    // Writes `output` and `error` to their streams and returns `exitStatus`.
    int answer() const;
};
