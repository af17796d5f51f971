// From a report's "$" to the Notify call on the session bus: the bytes of a report that turns an
// alarm on (then off) are handed to the session's monitor as the link would hand them, and the clock
// stops when the desktop notifier has put its call on the bus. On the way: the collector, the report
// parser, the watch, the event log's commit and the notification policy. Run it under
// dbus-run-session with a notification service (scripts/bench.sh does), or on a desktop.
#include "bench/bench_home.h"
#include "support/session_access.h"
#include "support/test_env.h"

#include "notify/desktop_notifier.h"
#include "notify/notification_scheduler.h"
#include "session/session.h"
#include "station/station.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <algorithm>
#include <cstdio>
#include <vector>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    TestStoreHome home(benchFolder());
    if (!home.isValid())
        return 1;
    const int rounds = argc > 1 ? std::max(10, atoi(argv[1])) : 400;

    TransmitterSession session;
    Station station(session, home.path() + QLatin1String("/history.sqlite"));
    // The policy's clock runs two minutes a round, so no alarm counts as flapping and every change
    // is a notification of its own.
    QDateTime now = QDateTime::currentDateTimeUtc();
    NotificationScheduler scheduler([&now] { return now; }, [&now] { return now.toMSecsSinceEpoch(); });
    DesktopNotifier notifier;
    QObject::connect(&station.watch(), &TransmitterWatch::event, &scheduler, &NotificationScheduler::handle);

    QElapsedTimer clock;
    std::vector<double> latencies;
    QObject::connect(&scheduler, &NotificationScheduler::notification, [&](const Notification &n) {
        notifier.notify(n);
        latencies.push_back(double(clock.nsecsElapsed()) / 1e6);
    });

    // Each alarm in turn on, then off.
    const QByteArray head = "Pfwd=100.0W,Pref=1.0W,Uptime=0001D:00H:00M,AlarmCode=";
    for (int i = 0; i < rounds; ++i) {
        const int alarm = 1 << (i / 2 % 5);
        const QByteArray code = (i % 2 == 0) ? QByteArray::number(alarm).rightJustified(2, '0') : "00";
        const QByteArray report = head + code + ",Audio=5$";
        now = now.addSecs(120);
        clock.start();
        SessionTestAccess::monitor(session).receive(report);
        QCoreApplication::processEvents();
    }
    if (latencies.empty()) {
        std::fprintf(stderr, "bench_notify: no notification was sent\n");
        return 1;
    }
    std::sort(latencies.begin(), latencies.end());
    const auto at = [&](double p) { return latencies[size_t(p * double(latencies.size() - 1))]; };
    bool present = false;
    QEventLoop asked;
    QObject::connect(&notifier, &DesktopNotifier::serviceChecked, &asked, [&](bool available) {
        present = available;
        asked.quit();
    });
    notifier.checkService();
    asked.exec();
    std::printf("notifications %zu of %d reports; $ to Notify call: median %.3f ms, p90 %.3f ms, "
                "p99 %.3f ms, max %.3f ms (service %s)\n",
        latencies.size(), rounds, at(0.5), at(0.9), at(0.99), latencies.back(),
        present ? "present" : "absent");
    return 0;
}
