#include "app/command_line.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

#include <cstdio>
#include <utility>

namespace {

const QString kProgram = QStringLiteral("valtrona-panel");

// The options QGuiApplication and QApplication take out of argv themselves. They are declared,
// hidden from the help, so that the parser lets them through to QApplication.
QList<QCommandLineOption> qtOptions()
{
    QList<QCommandLineOption> options;
    const char *withValue[] = { "platform", "platformpluginpath", "platformtheme", "plugin", "qmljsdebugger",
        "qwindowgeometry", "qwindowicon", "qwindowtitle", "session", "display", "geometry", "title", "style",
        "stylesheet" };
    for (const char *name : withValue)
        options.append(QCommandLineOption(QString::fromLatin1(name), QString(), QStringLiteral("value")));
    for (const char *name : { "reverse", "widgetcount" })
        options.append(QCommandLineOption(QString::fromLatin1(name)));
    for (QCommandLineOption &o : options)
        o.setFlags(QCommandLineOption::HiddenFromHelp);
    return options;
}

CommandLine finish(int status, const QString &output, const QString &error = QString())
{
    CommandLine command;
    command.action = CommandLine::Action::Exit;
    command.exitStatus = status;
    command.output = output;
    command.error = error;
    return command;
}

CommandLine usageError(const QString &what)
{
    return finish(CommandLine::kUsageError, QString(),
        QStringLiteral("%1: %2\nTry '%1 --help' for the options it takes.\n").arg(kProgram, what));
}

} // namespace

CommandLine CommandLine::parse(const QStringList &arguments)
{
    QCommandLineParser parser;
    // Single-dash words are Qt's habit (-platform xcb, -style Fusion), so they are read as words.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(QStringLiteral(
        "Control panel for the RF amplifier board of an FM broadcast transmitter, connected over a serial "
        "line. With no option it opens its window on the port chosen under File > Setup."));

    const QCommandLineOption help(
        { QStringLiteral("h"), QStringLiteral("help") }, QStringLiteral("Show this help and exit."));
    const QCommandLineOption version({ QStringLiteral("v"), QStringLiteral("version") },
        QStringLiteral("Show the program's version and exit."));
    const QCommandLineOption events(QStringLiteral("events"),
        QStringLiteral("Print the event log (alarms, link and reports lost and back) as CSV, oldest first, "
                       "and exit."));
    const QCommandLineOption exportCsv(QStringLiteral("export-csv"),
        QStringLiteral(
            "Write the recorded status history to FILE (- for standard output) as CSV, oldest first, "
            "and exit."),
        QStringLiteral("FILE"));
    const QCommandLineOption from(QStringLiteral("from"),
        QStringLiteral("With --export-csv: begin at TIME (ISO 8601; UTC when it has no offset)."),
        QStringLiteral("TIME"));
    const QCommandLineOption to(QStringLiteral("to"),
        QStringLiteral("With --export-csv: end before TIME (ISO 8601; UTC when it has no offset)."),
        QStringLiteral("TIME"));
    const QCommandLineOption metricsDir(QStringLiteral("metrics-dir"),
        QStringLiteral("Keep the amplifier's figures for Prometheus in DIR/valtrona.prom, rewritten after "
                       "every report."),
        QStringLiteral("DIR"));
    const QCommandLineOption headless(QStringLiteral("headless"),
        QStringLiteral("Watch the transmitter without a window: read its status once a second, record it and "
                       "print each event on standard error, until SIGTERM or SIGINT."));
    parser.addOptions({ help, version, events, exportCsv, from, to, metricsDir, headless });
    parser.addOptions(qtOptions());

    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    if (parser.isSet(help)) {
        // The usage line is written here: Qt's names the program by QCoreApplication, which does
        // not exist yet.
        const QString text = parser.helpText();
        return finish(
            0, QStringLiteral("Usage: %1 [options]\n").arg(kProgram) + text.section(QLatin1Char('\n'), 1));
    }
    if (parser.isSet(version))
        return finish(0, QStringLiteral("%1 %2\n").arg(kProgram, QStringLiteral(PANEL_VERSION)));
    if (!parser.positionalArguments().isEmpty())
        return usageError(
            QStringLiteral("unexpected argument '%1'.").arg(parser.positionalArguments().constFirst()));
    if ((parser.isSet(from) || parser.isSet(to)) && !parser.isSet(exportCsv))
        return usageError(QStringLiteral("--from and --to go with --export-csv."));

    // The modes that print a file and end: the event log and the recorded history.
    if (parser.isSet(events)) {
        if (parser.isSet(exportCsv) || parser.isSet(metricsDir) || parser.isSet(headless))
            return usageError(QStringLiteral("--events goes alone."));
        CommandLine line;
        line.action = Action::PrintEvents;
        return line;
    }
    if (parser.isSet(exportCsv)) {
        if (parser.isSet(metricsDir) || parser.isSet(headless))
            return usageError(QStringLiteral("--export-csv goes alone, with --from and --to."));
        CommandLine line;
        line.action = Action::ExportCsv;
        line.exportFile = parser.value(exportCsv);
        if (line.exportFile.isEmpty())
            return usageError(QStringLiteral("--export-csv needs a file name (- for standard output)."));
        for (const auto &[option, time] : { std::pair { &from, &line.from }, std::pair { &to, &line.to } }) {
            if (!parser.isSet(*option))
                continue;
            *time = parseTime(parser.value(*option));
            if (!time->isValid())
                return usageError(QStringLiteral("--%1 '%2' is not a time in ISO 8601, such as "
                                                 "2026-05-01T10:00:00 (UTC) or 2026-05-01T12:00:00+02:00.")
                                      .arg(option->names().constLast(), parser.value(*option)));
        }
        if (line.from.isValid() && line.to.isValid() && line.from > line.to)
            return usageError(QStringLiteral("--from is later than --to."));
        return line;
    }
    CommandLine line;
    if (parser.isSet(metricsDir)) {
        line.metricsDir = parser.value(metricsDir);
        if (line.metricsDir.isEmpty())
            return usageError(QStringLiteral("--metrics-dir needs a folder."));
    }
    if (parser.isSet(headless))
        line.action = Action::RunHeadless;
    return line;
}

QDateTime CommandLine::parseTime(const QString &text)
{
    const QString trimmed = text.trimmed();
    // Qt reads a time without an offset as local time; here it is UTC.
    QDateTime time = QDateTime::fromString(trimmed, Qt::ISODateWithMs);
    if (!time.isValid())
        return QDateTime();
    if (time.timeSpec() == Qt::LocalTime)
        time = QDateTime(time.date(), time.time(), Qt::UTC);
    return time.toUTC();
}

CommandLine CommandLine::parse(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    return parse(arguments);
}

int CommandLine::answer() const
{
    if (!output.isEmpty()) {
        std::fputs(output.toLocal8Bit().constData(), stdout);
        std::fflush(stdout);
    }
    if (!error.isEmpty())
        std::fputs(error.toLocal8Bit().constData(), stderr);
    return exitStatus;
}
