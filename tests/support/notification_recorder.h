#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// The desktop's notification service for a test: tools/notification_recorder.py owning
// org.freedesktop.Notifications on the test's private session bus, and what it recorded. Refuses to
// start unless the test runs on a bus of its own (ctest runs the notify tests under
// dbus-run-session with PANEL_PRIVATE_SESSION_BUS set), so a real desktop's service is never
// replaced.
class NotificationRecorder
{
public:
    NotificationRecorder();
    ~NotificationRecorder();

    // True on a private bus made for the test.
    static bool onPrivateBus();

    // Starts the service and waits until it owns the name; false (errorText() tells why) otherwise.
    // A silent one owns the name and never answers, as a service that has hung.
    enum class Answers { Yes, Never };
    bool start(int timeoutMs = 10000, Answers answers = Answers::Yes);
    void stop();

    // The Notify calls received so far, oldest first (app_name, replaces_id, app_icon, summary,
    // body, shown: the body as a service with body markup shows it, or null when it is no
    // well-formed markup; urgency, urgency_type, hints, expire_timeout, id).
    QList<QJsonObject> calls() const;
    // Runs the event loop until at least `count` calls are recorded.
    bool waitForCalls(int count, int timeoutMs = 5000) const;

    QString errorText() const { return m_error; }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    QString m_error;
};
