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
    QTest::newRow("--events with another mode") << QStringList { "--events", "--headless" } << false << 2
                                                << QString() << "--events goes alone.";
    QTest::newRow("--export-csv") << QStringList { "--export-csv", "out.csv", "--from", "2026-01-01T00:00" }
                                  << false << 2 << QString() << "--export-csv is not available yet.";
    QTest::newRow("--metrics-dir empty") << QStringList { "--metrics-dir", "" } << false << 2 << QString()
                                         << "--metrics-dir needs a folder.";
    QTest::newRow("--events with metrics") << QStringList { "--events", "--metrics-dir", "/tmp" } << false << 2
                                           << QString() << "--events goes alone.";

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
    QTest::newRow("window with metrics") << QStringList { "--metrics-dir", "/var/lib/prometheus/node-exporter" }
                                         << Action::RunWindow << "/var/lib/prometheus/node-exporter";
    QTest::newRow("headless") << QStringList { "--headless" } << Action::RunHeadless << QString();
    QTest::newRow("headless with metrics") << QStringList { "--headless", "--metrics-dir=/run/valtrona" }
                                           << Action::RunHeadless << "/run/valtrona";
    QTest::newRow("headless, relative folder") << QStringList { "--metrics-dir", "metrics", "--headless" }
                                               << Action::RunHeadless << "metrics";
    QTest::newRow("headless with a Qt option") << QStringList { "--headless", "-platform", "offscreen" }
                                               << Action::RunHeadless << QString();
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
