// The panel's command line, decided before any application object: which arguments start the window,
// which are answered on the terminal and with what status, and that Qt's own options still reach
// QApplication.
#include "app/command_line.h"

#include <QtTest>

class TestCommandLine : public QObject
{
    Q_OBJECT
private slots:
    void outcome_data();
    void outcome();
    void events();
    void monitoring_data();
    void monitoring();
    void exportCsv();
    void times_data();
    void times();
    void helpNamesEveryOption();
};

void TestCommandLine::outcome_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("runsWindow");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("output"); // the start of standard output
    QTest::addColumn<QString>("error"); // a part of standard error

    const QString usage = QStringLiteral("Usage: valtrona-panel [options]\n");
    const QString version = QStringLiteral("valtrona-panel 4.1\n");
    QTest::newRow("no arguments") << QStringList() << true << 0 << QString() << QString();
    QTest::newRow("--help") << QStringList { "--help" } << false << 0 << usage << QString();
    QTest::newRow("-h") << QStringList { "-h" } << false << 0 << usage << QString();
    QTest::newRow("--version") << QStringList { "--version" } << false << 0 << version << QString();
    QTest::newRow("-v") << QStringList { "-v" } << false << 0 << version << QString();

    QTest::newRow("unknown long") << QStringList { "--bogus" } << false << 2 << QString()
                                  << "valtrona-panel: Unknown option 'bogus'.\nTry 'valtrona-panel --help'";
    QTest::newRow("unknown short") << QStringList { "-x" } << false << 2 << QString() << "Unknown option 'x'";
    QTest::newRow("help and unknown")
        << QStringList { "--help", "--bogus" } << false << 2 << QString() << "Unknown option 'bogus'";
    QTest::newRow("argument") << QStringList { "COM1" } << false << 2 << QString()
                              << "valtrona-panel: unexpected argument 'COM1'.";
    QTest::newRow("missing value") << QStringList { "--export-csv" } << false << 2 << QString()
                                   << "Missing value after '--export-csv'";
    QTest::newRow("--from alone") << QStringList { "--from", "2026-01-01T00:00" } << false << 2 << QString()
                                  << "--from and --to go with --export-csv";
    QTest::newRow("--to alone") << QStringList { "--to", "2026-01-01T00:00" } << false << 2 << QString()
                                << "--from and --to go with --export-csv";

    // Declared, with their help, ahead of the modes behind them.
    QTest::newRow("--events with another mode")
        << QStringList { "--events", "--headless" } << false << 2 << QString() << "--events goes alone.";
    QTest::newRow("--metrics-dir empty")
        << QStringList { "--metrics-dir", "" } << false << 2 << QString() << "--metrics-dir needs a folder.";
    QTest::newRow("--events with metrics") << QStringList { "--events", "--metrics-dir", "/tmp" } << false
                                           << 2 << QString() << "--events goes alone.";
    QTest::newRow("--export-csv with another mode") << QStringList { "--export-csv", "out.csv", "--headless" }
                                                    << false << 2 << QString() << "--export-csv goes alone";
    QTest::newRow("--from not a time")
        << QStringList { "--export-csv", "out.csv", "--from", "yesterday" } << false << 2 << QString()
        << "--from 'yesterday' is not a time in ISO 8601";
    QTest::newRow("--to not a time") << QStringList { "--export-csv", "out.csv", "--to", "2026-13-01" }
                                     << false << 2 << QString()
                                     << "--to '2026-13-01' is not a time in ISO 8601";
    QTest::newRow("--from after --to")
        << QStringList { "--export-csv", "out.csv", "--from", "2026-01-02", "--to", "2026-01-01T23:59" }
        << false << 2 << QString() << "--from is later than --to.";

    // Qt's options, for QApplication to take, in the spellings it accepts.
    QTest::newRow("-platform") << QStringList { "-platform", "offscreen" } << true << 0 << QString()
                               << QString();
    QTest::newRow("--platform") << QStringList { "--platform", "xcb" } << true << 0 << QString() << QString();
    QTest::newRow("-style=") << QStringList { "-style=Fusion" } << true << 0 << QString() << QString();
    QTest::newRow("-reverse and geometry") << QStringList { "-reverse", "-qwindowgeometry", "800x600+0+0" }
                                           << true << 0 << QString() << QString();
}

void TestCommandLine::events()
{
    const CommandLine command = CommandLine::parse(QStringList { "valtrona-panel", "--events" });
    QCOMPARE(command.action, CommandLine::Action::PrintEvents);
    QCOMPARE(command.exitStatus, 0);
}

// The monitor without a window, and the metrics folder for either.
void TestCommandLine::monitoring_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<CommandLine::Action>("action");
    QTest::addColumn<QString>("metricsDir");

    using Action = CommandLine::Action;
    QTest::newRow("window with metrics")
        << QStringList { "--metrics-dir", "/var/lib/prometheus/node-exporter" } << Action::RunWindow
        << "/var/lib/prometheus/node-exporter";
    QTest::newRow("headless") << QStringList { "--headless" } << Action::RunHeadless << QString();
    QTest::newRow("headless with metrics") << QStringList { "--headless", "--metrics-dir=/run/valtrona" }
                                           << Action::RunHeadless << "/run/valtrona";
    QTest::newRow("headless, relative folder")
        << QStringList { "--metrics-dir", "metrics", "--headless" } << Action::RunHeadless << "metrics";
    QTest::newRow("headless with a Qt option")
        << QStringList { "--headless", "-platform", "offscreen" } << Action::RunHeadless << QString();
}

void TestCommandLine::monitoring()
{
    QFETCH(QStringList, arguments);
    QFETCH(CommandLine::Action, action);
    QFETCH(QString, metricsDir);

    arguments.prepend(QStringLiteral("valtrona-panel"));
    const CommandLine command = CommandLine::parse(arguments);
    QCOMPARE(command.action, action);
    QCOMPARE(command.exitStatus, 0);
    QCOMPARE(command.metricsDir, metricsDir);
    QCOMPARE(command.error, QString());
}

void TestCommandLine::exportCsv()
{
    CommandLine command = CommandLine::parse(QStringList { "valtrona-panel", "--export-csv", "out.csv" });
    QCOMPARE(command.action, CommandLine::Action::ExportCsv);
    QCOMPARE(command.exitStatus, 0);
    QCOMPARE(command.exportFile, QStringLiteral("out.csv"));
    QVERIFY(!command.from.isValid());
    QVERIFY(!command.to.isValid());

    command = CommandLine::parse(QStringList { "valtrona-panel", "--from", "2026-01-01T00:00", "--export-csv",
        "-", "--to", "2026-01-01T02:00:00+01:00" });
    QCOMPARE(command.action, CommandLine::Action::ExportCsv);
    QCOMPARE(command.exportFile, QStringLiteral("-"));
    QCOMPARE(command.from, QDateTime(QDate(2026, 1, 1), QTime(0, 0), Qt::UTC));
    QCOMPARE(command.to, QDateTime(QDate(2026, 1, 1), QTime(1, 0), Qt::UTC));
}

void TestCommandLine::times_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("utc"); // empty: not a time

    QTest::newRow("no offset is UTC") << "2026-05-01T10:00:00"
                                      << "2026-05-01T10:00:00.000Z";
    QTest::newRow("minutes only") << "2026-05-01T10:00"
                                  << "2026-05-01T10:00:00.000Z";
    QTest::newRow("milliseconds") << "2026-05-01T10:00:01.250"
                                  << "2026-05-01T10:00:01.250Z";
    QTest::newRow("Z") << "2026-05-01T10:00:00Z"
                       << "2026-05-01T10:00:00.000Z";
    QTest::newRow("offset") << "2026-05-01T12:00:00+02:00"
                            << "2026-05-01T10:00:00.000Z";
    QTest::newRow("negative offset") << "2026-05-01T05:30:00-04:30"
                                     << "2026-05-01T10:00:00.000Z";
    QTest::newRow("date") << "2026-05-01"
                          << "2026-05-01T00:00:00.000Z";
    QTest::newRow("blanks around") << " 2026-05-01T10:00:00Z "
                                   << "2026-05-01T10:00:00.000Z";
    QTest::newRow("words") << "yesterday" << QString();
    QTest::newRow("month 13") << "2026-13-01" << QString();
    QTest::newRow("hour 25") << "2026-05-01T25:00:00" << QString();
    QTest::newRow("empty") << "" << QString();
}

void TestCommandLine::times()
{
    QFETCH(QString, text);
    QFETCH(QString, utc);
    const QDateTime time = CommandLine::parseTime(text);
    QCOMPARE(time.isValid(), !utc.isEmpty());
    if (time.isValid()) {
        QCOMPARE(time.timeSpec(), Qt::UTC);
        QCOMPARE(time.toString(Qt::ISODateWithMs), utc);
    }
}

void TestCommandLine::outcome()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, runsWindow);
    QFETCH(int, status);
    QFETCH(QString, output);
    QFETCH(QString, error);

    arguments.prepend(QStringLiteral("/usr/bin/valtrona-panel"));
    const CommandLine command = CommandLine::parse(arguments);
    QCOMPARE(command.action, runsWindow ? CommandLine::Action::RunWindow : CommandLine::Action::Exit);
    QCOMPARE(command.exitStatus, status);
    if (output.isEmpty())
        QCOMPARE(command.output, QString());
    else
        QVERIFY2(command.output.startsWith(output), qPrintable(command.output));
    if (error.isEmpty())
        QCOMPARE(command.error, QString());
    else
        QVERIFY2(command.error.contains(error), qPrintable(command.error));
}

void TestCommandLine::helpNamesEveryOption()
{
    const QString help = CommandLine::parse(QStringList { "valtrona-panel", "--help" }).output;
    for (const char *option : { "-h, --help", "-v, --version", "--events", "--export-csv <FILE>",
             "--from <TIME>", "--to <TIME>", "--metrics-dir <DIR>", "--headless" })
        QVERIFY2(help.contains(QLatin1String(option)), option);
    // Qt's options are accepted, not advertised.
    QVERIFY2(!help.contains(QLatin1String("platform")), qPrintable(help));
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_app_command_line.moc"
