// A measuring probe the tool loads into the panel with LD_PRELOAD, so the panel needs no hook of its
// own. It does nothing unless VALTRONA_PANEL_PROBE names the tool's socket. Lines it sends, times
// in CLOCK_MONOTONIC nanoseconds:
//   hello <pid> <t>            QApplication is being constructed
//   show <t> / exposed <t>     the main window (the first QMainWindow shown: the panel's Form1, or
//                              the bare window the tool compares it with) got its Show event / its
//                              window was first exposed
//   painted <t>                the main window's first paint began
//   message <text>             a message box came up (start-up trouble shows here)
//   progress <value> <t>       ProgressBar1 changed
//   clicked <name> <t> | no-button <name>
//   stall max_ms=.. own_max_ms=.. max_wait_ms=.. p99_ms=.. over16=.. own_over16=.. samples=..
//                              answer to "heartbeat off" (see Probe::beat)
//   text <name> <text>         answer to "text <name>": what the control shows
//   bye
// Commands: click <objectName>, heartbeat on|off, text <objectName>, quit.
#include "bench/probe/probe_channel.h"
#include "support/ui/widgets.h"

#include <QAbstractButton>
#include <QApplication>
#include <QPointer>
#include <QProgressBar>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kHeartbeatMs = 2;

QByteArray number(qint64 n)
{
    return QByteArray::number(n);
}

// Watches the main window come up, then measures the event loop on request.
class Probe : public QObject
{
public:
    explicit Probe(const QByteArray &socketPath)
        : QObject(QCoreApplication::instance())
    {
        if (!m_channel.connectTo(socketPath))
            return;
        connect(&m_channel, &ProbeChannel::command, this, &Probe::onCommand);
        m_heartbeat.setTimerType(Qt::PreciseTimer);
        m_heartbeat.setInterval(kHeartbeatMs);
        connect(&m_heartbeat, &QTimer::timeout, this, &Probe::beat);
        m_channel.send("hello " + number(::getpid()) + ' ' + number(monotonicNs()));
        QCoreApplication::instance()->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        switch (event->type()) {
        case QEvent::Show:
            if (auto *w = qobject_cast<QWidget *>(watched); w && w->isWindow())
                windowShown(w);
            break;
        case QEvent::Expose:
            if (m_form && !m_exposed && watched == m_form->windowHandle()) {
                m_exposed = true;
                m_channel.send("exposed " + number(monotonicNs()));
            }
            break;
        case QEvent::Paint:
            if (m_form && !m_painted && watched == m_form) {
                m_painted = true;
                m_channel.send("painted " + number(monotonicNs()));
            }
            break;
        default:
            break;
        }
        // Once the window is up nothing more is watched, so the idle figures carry no filter.
        if (m_exposed && m_painted)
            QCoreApplication::instance()->removeEventFilter(this);
        return false;
    }

private:
    void windowShown(QWidget *w)
    {
        if (w->inherits("QMessageBox")) {
            m_channel.send("message " + w->property("text").toString().toUtf8().replace('\n', ' '));
            return;
        }
        if (m_form || !w->inherits("QMainWindow"))
            return;
        m_form = w;
        m_channel.send("show " + number(monotonicNs()));
        if (auto *bar = m_form->findChild<QProgressBar *>(QStringLiteral("ProgressBar1"))) {
            connect(bar, &QProgressBar::valueChanged, this, [this](int value) {
                m_channel.send("progress " + number(value) + ' ' + number(monotonicNs()));
            });
        }
    }

    void onCommand(const QByteArray &line)
    {
        const qsizetype space = line.indexOf(' ');
        const QByteArray word = space < 0 ? line : line.left(space);
        const QByteArray arg = space < 0 ? QByteArray() : line.mid(space + 1);
        if (word == "click") {
            auto *button = widgetNamed<QAbstractButton>(QString::fromUtf8(arg));
            if (!button) {
                m_channel.send("no-button " + arg);
                return;
            }
            m_channel.send("clicked " + arg + ' ' + number(monotonicNs()));
            QMetaObject::invokeMethod(button, &QAbstractButton::click, Qt::QueuedConnection);
        } else if (word == "heartbeat") {
            heartbeat(arg == "on");
        } else if (word == "text") {
            const QString text = shownText(widgetNamed(QString::fromUtf8(arg)));
            m_channel.send("text " + arg + ' ' + text.toUtf8().replace('\n', ' '));
        } else if (word == "quit") {
            m_channel.send("bye");
            QApplication::closeAllWindows();
            QTimer::singleShot(3000, QCoreApplication::instance(), &QCoreApplication::quit);
        }
    }

    void heartbeat(bool on)
    {
        if (on) {
            m_gaps.clear();
            m_own.clear();
            m_maxWait = 0;
            if (m_schedFd < 0)
                m_schedFd = ::open("/proc/self/schedstat", O_RDONLY | O_CLOEXEC);
            m_lastWait = runQueueWaitNs();
            m_last = monotonicNs();
            m_heartbeat.start();
            return;
        }
        m_heartbeat.stop();
        std::vector<qint64> gaps = m_gaps, own = m_own;
        std::sort(gaps.begin(), gaps.end());
        std::sort(own.begin(), own.end());
        const auto over16 = [](const std::vector<qint64> &v) {
            return number(qint64(std::count_if(v.begin(), v.end(), [](qint64 g) { return g > 16000000; })));
        };
        const qint64 max = gaps.empty() ? 0 : gaps.back();
        const qint64 ownMax = own.empty() ? 0 : own.back();
        const qint64 p99 = gaps.empty() ? 0 : gaps[size_t(double(gaps.size() - 1) * 0.99)];
        const auto ms = [](qint64 ns) { return QByteArray::number(double(ns) / 1e6, 'f', 3); };
        m_channel.send("stall max_ms=" + ms(max) + " own_max_ms=" + ms(ownMax)
            + " max_wait_ms=" + ms(m_maxWait) + " p99_ms=" + ms(p99) + " over16=" + over16(gaps)
            + " own_over16=" + over16(own) + " samples=" + number(qint64(gaps.size())));
    }

    // A stall is how much later than due the heartbeat came: the wait any event had meanwhile. On a
    // machine shared with other work part of it is time the thread was ready to run but had no CPU
    // (the scheduler's run-queue wait); the rest, its own stall, is work or blocking of the panel.
    void beat()
    {
        const qint64 now = monotonicNs();
        const qint64 wait = runQueueWaitNs();
        const qint64 late = std::max<qint64>(0, now - m_last - qint64(kHeartbeatMs) * 1000000);
        const qint64 waited = wait >= 0 && m_lastWait >= 0 ? wait - m_lastWait : 0;
        m_gaps.push_back(late);
        m_own.push_back(std::max<qint64>(0, late - waited));
        m_maxWait = std::max(m_maxWait, waited);
        m_last = now;
        m_lastWait = wait;
    }

    // The main thread's run-queue wait so far (the second field of /proc/self/schedstat), or -1.
    qint64 runQueueWaitNs()
    {
        if (m_schedFd < 0)
            return -1;
        char buf[128];
        const ssize_t n = ::pread(m_schedFd, buf, sizeof buf - 1, 0);
        if (n <= 0)
            return -1;
        buf[n] = 0;
        const QList<QByteArray> fields = QByteArray(buf).split(' ');
        return fields.size() >= 2 ? fields[1].toLongLong() : -1;
    }

    ProbeChannel m_channel;
    QPointer<QWidget> m_form;
    bool m_exposed = false;
    bool m_painted = false;
    QTimer m_heartbeat;
    qint64 m_last = 0;
    qint64 m_lastWait = -1;
    qint64 m_maxWait = 0;
    int m_schedFd = -1;
    std::vector<qint64> m_gaps; // lateness of each beat
    std::vector<qint64> m_own; // the same less the run-queue wait
};

void installProbe()
{
    const QByteArray socketPath = qgetenv("VALTRONA_PANEL_PROBE");
    if (socketPath.isEmpty())
        return;
    // Whatever the panel might start must not carry the probe along.
    ::unsetenv("LD_PRELOAD");
    new Probe(socketPath);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(installProbe)
