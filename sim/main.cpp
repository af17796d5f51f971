// valtrona-sim: a stand-in transmitter on a pseudo-terminal, so the panel runs and is tested without
// hardware. Prints "device <path>" first; then takes one-line commands on standard input.
#include "sim/simulator.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = { -1, -1 };

void onSignal(int)
{
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &c, 1);
}

void printLine(const QString &line)
{
    std::fprintf(stdout, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stdout);
}

// Reads standard input and hands each complete line to the simulator. When standard input is a
// pipe its end means the parent is gone, and the simulator ends too.
class StdinReader : public QObject
{
public:
    StdinReader(sim::Simulator &sim, QObject *parent)
        : QObject(parent)
        , m_sim(sim)
    {
        struct stat st {
        };
        m_quitAtEnd = fstat(STDIN_FILENO, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
        m_notifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, [this] { readInput(); });
    }

private:
    void readInput()
    {
        char buf[4096];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            m_notifier->setEnabled(false);
            if (m_quitAtEnd)
                QCoreApplication::quit();
            return;
        }
        m_pending.append(buf, int(n));
        qsizetype nl;
        while ((nl = m_pending.indexOf('\n')) >= 0) {
            QByteArray line = m_pending.left(nl);
            m_pending.remove(0, nl + 1);
            if (line.endsWith('\r'))
                line.chop(1);
            for (const QString &out : m_sim.command(QString::fromLocal8Bit(line)))
                printLine(out);
        }
    }

    sim::Simulator &m_sim;
    QSocketNotifier *m_notifier;
    QByteArray m_pending;
    bool m_quitAtEnd = false;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("valtrona-sim");

    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Stands in for the transmitter on a pseudo-terminal. Commands on standard input: silent on|off, "
        "send TEXT, sendhex HEX, report TEXT|live, burst BYTES [GAP_MS], noise RATE, "
        "set tamp|tpsu|reflection|uptime VALUE, flood SECONDS [reports|noise|mixed], flood off, state, "
        "unplug, replug, quit.");
    const QCommandLineOption help({ "h", "help" }, "Show this help and exit.");
    const QCommandLineOption version({ "v", "version" }, "Show the program's version and exit.");
    const QCommandLineOption link("link",
        "Make a symbolic link to the device at PATH (refused unless PATH is absent or a link into /dev/pts).",
        "PATH");
    const QCommandLineOption log("log", "Write every frame and chunk as JSON lines to PATH.", "PATH");
    const QCommandLineOption stateFile("state-file", "Keep the state JSON in PATH.", "PATH");
    const QCommandLineOption burst("burst", "Send answers in bursts of N bytes.", "N");
    const QCommandLineOption burstGap("burst-gap", "Milliseconds between bursts (20).", "MS");
    const QCommandLineOption silent("silent", "Answer no status request.");
    const QCommandLineOption noise("noise", "Chance (0 to 1) of random bytes before a report.", "RATE");
    const QCommandLineOption seed("seed", "Seed of the noise.", "N");
    const QCommandLineOption report("report", "Send TEXT as the report (\"$\" added if missing).", "TEXT");
    const QCommandLineOption frameTimeout(
        "frame-timeout", "Give up an unfinished frame after MS (3000).", "MS");
    parser.addOptions(
        { help, version, link, log, stateFile, burst, burstGap, silent, noise, seed, report, frameTimeout });
    // A command line that cannot be followed ends with status 2, as a bad numeric value does.
    const auto usageError = [](const QString &what) {
        std::fprintf(stderr, "valtrona-sim: %s\nTry 'valtrona-sim --help' for the options it takes.\n",
            qPrintable(what));
        return 2;
    };
    if (!parser.parse(app.arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(help)) {
        // Named as the program, not as the path it was started by.
        const QString text = parser.helpText().section(QLatin1Char('\n'), 1);
        std::fprintf(stdout, "Usage: valtrona-sim [options]\n%s", qPrintable(text));
        return 0;
    }
    if (parser.isSet(version)) {
        std::fprintf(stdout, "valtrona-sim %s\n", SIM_VERSION);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(
            QStringLiteral("unexpected argument '%1'.").arg(parser.positionalArguments().constFirst()));

    sim::Options options;
    options.linkPath = parser.value(link);
    options.logPath = parser.value(log);
    options.stateFile = parser.value(stateFile);
    options.silent = parser.isSet(silent);
    options.fixedReport = parser.value(report).toLatin1();
    bool ok = true;
    auto number = [&](const QCommandLineOption &o, double fallback) {
        if (!parser.isSet(o))
            return fallback;
        bool good = false;
        const double v = parser.value(o).toDouble(&good);
        ok = ok && good && v >= 0;
        return v;
    };
    options.burst = int(number(burst, 0));
    options.burstGapMs = int(number(burstGap, options.burstGapMs));
    options.noise = number(noise, 0);
    options.seed = quint32(number(seed, 0));
    options.frameTimeoutMs = int(number(frameTimeout, options.frameTimeoutMs));
    if (!ok || options.noise > 1) {
        std::fprintf(stderr, "valtrona-sim: a numeric option has a bad value\n");
        return 2;
    }

    sim::Simulator simulator(options);
    QString error;
    if (!simulator.start(&error)) {
        std::fprintf(stderr, "valtrona-sim: %s\n", qPrintable(error));
        return 1;
    }
    printLine(QStringLiteral("device ") + simulator.devicePath());

    // SIGTERM and SIGINT end the event loop, so the link is removed on the way out.
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalPipe) == 0) {
        auto *sigNotifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(sigNotifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
        std::signal(SIGTERM, onSignal);
        std::signal(SIGINT, onSignal);
    }
    std::signal(SIGPIPE, SIG_IGN);

    QObject::connect(
        &simulator, &sim::Simulator::quitRequested, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    StdinReader reader(simulator, &app);
    return app.exec();
}
