#include "ui/artwork.h"
#include "ui/form1.h"
#include "ui/single_instance.h"

#include "app/command_line.h"
#include "app/stop_signals.h"
#include "history/event_log.h"
#include "history/history_database.h"
#include "history/sample_export.h"
#include "metrics/metrics_exporter.h"
#include "monitor/headless_monitor.h"
#include "settings/store.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QStatusBar>
#include <QTemporaryFile>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// --events: the whole event log as CSV on standard output, oldest first. Reads the history file
// without changing it, with no display, while a panel may be writing to it.
int printEvents(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    HistoryDatabase database(HistoryDatabase::defaultPath(), HistoryDatabase::Mode::ReadOnly);
    database.open();
    EventLog log(database);
    QFile out;
    if (!out.open(stdout, QIODevice::WriteOnly)) {
        std::fprintf(stderr, "valtrona-panel: cannot write to standard output\n");
        return 1;
    }
    if (!log.writeCsv(out)) {
        out.flush();
        std::fprintf(stderr, "valtrona-panel: the event log %s cannot be read: %s\n",
            qPrintable(database.path()), qPrintable(database.lastError()));
        return 1;
    }
    return 0;
}

void nameApplication()
{
    QCoreApplication::setOrganizationName(QStringLiteral("ZTK Electronics"));
    QCoreApplication::setApplicationName(QStringLiteral("ValtronaAmp+"));
}

// --headless: the monitor, with no display. It is the one copy on its store, as a window would be:
// it leaves when a copy runs already, and answers a window started later that it runs headless.
int runHeadless(int argc, char *argv[], const CommandLine &command)
{
    QCoreApplication app(argc, argv);
    nameApplication();
    SingleInstance instance(SettingsStore::instance().filePath());
    instance.setHeadless();
    if (instance.claim(SingleInstance::kAsk) == SingleInstance::Claim::HandedOver) {
        const bool monitor = instance.answer() == QLatin1String(SingleInstance::kHeadless);
        std::fprintf(stderr,
            "valtrona-panel: ValtronaAmp+ is already running with the settings %s (%s); the headless "
            "monitor does not start.\n",
            qPrintable(SettingsStore::instance().filePath()), monitor ? "a headless monitor" : "its window");
        return 1;
    }
    return headless::run(app, command.metricsDir);
}

// A headless monitor holds the store and the port: the window says so and does not start.
int tellHeadlessRuns()
{
    const QString text
        = QStringLiteral("ValtronaAmp+ is running as a headless monitor with these settings (%1). "
                         "It keeps the serial port, so the window does not start while it runs. "
                         "Stop the monitor first (systemctl --user stop valtrona-panel-headless).")
              .arg(SettingsStore::instance().filePath());
    std::fprintf(stderr, "%s\n", qPrintable(text));
    std::fflush(stderr);
    QMessageBox box(QMessageBox::Information, QString::fromLatin1(Form1::kTitle), text, QMessageBox::Ok);
    box.setObjectName(QStringLiteral("HeadlessRunsMessage"));
    box.exec();
    return 1;
}

// --export-csv FILE [--from TIME] [--to TIME]: the recorded samples as CSV, read as --events reads
// the event log. FILE appears whole or not at all, and is never written through a link.
int exportCsv(const CommandLine &command, int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    HistoryDatabase database(HistoryDatabase::defaultPath(), HistoryDatabase::Mode::ReadOnly);
    database.open();
    const qint64 from = command.from.isValid() ? command.from.toMSecsSinceEpoch() : history::kEarliest;
    const qint64 to = command.to.isValid() ? command.to.toMSecsSinceEpoch() : history::kLatest;
    const bool toStdout = command.exportFile == QLatin1String("-");
    if (toStdout) {
        QFile standardOutput;
        if (!standardOutput.open(stdout, QIODevice::WriteOnly)) {
            std::fprintf(stderr, "valtrona-panel: cannot write to standard output\n");
            return 1;
        }
        if (!history::writeSamplesCsv(database, standardOutput, from, to)) {
            std::fprintf(stderr, "valtrona-panel: the history %s cannot be read%s%s\n",
                qPrintable(database.path()), database.lastError().isEmpty() ? "" : ": ",
                qPrintable(database.lastError()));
            return 1;
        }
        return 0;
    }
    // FILE is replaced by a file of this run's own, never written through: a symbolic link (which
    // another user may have put in a shared folder, leading to one of the operator's files) or
    // anything but a regular file is refused, and the new file is written beside it under a
    // temporary name and renamed over the name, which replaces a link put there meanwhile rather
    // than following it.
    const QString name = command.exportFile;
    const QByteArray native = QFile::encodeName(name);
    struct stat st;
    if (::lstat(native.constData(), &st) == 0 && !S_ISREG(st.st_mode)) {
        std::fprintf(stderr, "valtrona-panel: %s is %s; nothing was written\n", qPrintable(name),
            S_ISLNK(st.st_mode) ? "a symbolic link" : "not a regular file");
        return 1;
    }
    QTemporaryFile file(QFileInfo(name).absolutePath() + QStringLiteral("/.") + QFileInfo(name).fileName()
        + QStringLiteral(".XXXXXX"));
    if (!file.open()) {
        std::fprintf(stderr, "valtrona-panel: cannot write %s: %s\n", qPrintable(name),
            qPrintable(file.errorString()));
        return 1;
    }
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(file.handle(), 0666 & ~mask);
    if (!history::writeSamplesCsv(database, file, from, to)) {
        std::fprintf(stderr, "valtrona-panel: the history %s cannot be read%s%s\n",
            qPrintable(database.path()), database.lastError().isEmpty() ? "" : ": ",
            qPrintable(database.lastError()));
        return 1;
    }
    if (!file.flush() || ::fsync(file.handle()) != 0
        || ::rename(QFile::encodeName(file.fileName()).constData(), native.constData()) != 0) {
        std::fprintf(stderr, "valtrona-panel: cannot write %s: %s\n", qPrintable(name),
            qPrintable(QString::fromLocal8Bit(std::strerror(errno))));
        return 1;
    }
    file.setAutoRemove(false);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    // Before QApplication, so that --help, --version and a wrong option need no display.
    const CommandLine command = CommandLine::parse(argc, argv);
    if (command.action == CommandLine::Action::Exit)
        return command.answer();
    if (command.action == CommandLine::Action::PrintEvents)
        return printEvents(argc, argv);
    if (command.action == CommandLine::Action::RunHeadless)
        return runHeadless(argc, argv, command);
    if (command.action == CommandLine::Action::ExportCsv)
        return exportCsv(command, argc, argv);

    QApplication app(argc, argv);
    nameApplication();
    QApplication::setWindowIcon(artwork::panelIcon());

    // Before the window exists, so that a second copy never touches the port or the store.
    SingleInstance instance(SettingsStore::instance().filePath());
    if (instance.claim() == SingleInstance::Claim::HandedOver) {
        if (instance.answer() == QLatin1String(SingleInstance::kHeadless))
            return tellHeadlessRuns();
        const bool shown = instance.answer() == QLatin1String(SingleInstance::kShown);
        std::fprintf(stderr, "%s\n",
            shown ? "ValtronaAmp+ is already running with these settings: its window was brought "
                    "to the front."
                  : "ValtronaAmp+ is already running with these settings; it did not say that its "
                    "window is on screen.");
        return 0;
    }

    Form1 form;
    instance.setActivationHandler([&form] {
        if (form.isMinimized())
            form.setWindowState(form.windowState() & ~Qt::WindowMinimized);
        form.Systray_Activated(); // out of the tray where it was there, shown, raised and activated
        return form.isVisible();
    });
    // Asked to stop, the program closes as from E&xit, also from the tray, and its other windows
    // with it: the history's pending samples are committed.
    StopSignals stop({ SIGTERM, SIGINT });
    QObject::connect(&stop, &StopSignals::received, &form, [&form] {
        form.close();
        QApplication::closeAllWindows();
    });
    form.start();
    if (!instance.guardProblem().isEmpty())
        form.statusBar()->showMessage(instance.guardProblem());

    // The figures for Prometheus, beside the window, when a folder is named; its faults go to the
    // status bar.
    std::unique_ptr<MetricsExporter> metrics;
    if (const QString folder = MetricsExporter::configuredDirectory(command.metricsDir); !folder.isEmpty()) {
        metrics = std::make_unique<MetricsExporter>(form.session(), folder);
        const auto show = [&form](const QString &text) { form.statusBar()->showMessage(text); };
        QObject::connect(metrics.get(), &MetricsExporter::problem, &form, show);
        QObject::connect(metrics.get(), &MetricsExporter::recovered, &form, show);
        metrics->write();
    }
    return app.exec();
}
