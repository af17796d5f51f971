#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <functional>

class QSocketNotifier;
class QTimer;

// One panel per user and settings store. Two panels on one store would fight over its file and over
// the serial port, so a second copy asks the running one to come to the front and leaves. The key
// is the user and the store's file: a panel started with another store runs on its own.
//
// The socket and its lock live in a folder only the user may enter: $XDG_RUNTIME_DIR, or else a
// folder of the panel's own in the temporary folder, made with mode 0700 and checked to be the
// user's and not a link. A socket there whose listener runs under another user id is not taken for
// a copy, and an answer is read up to a few bytes within one deadline, so nothing another user
// does keeps the panel from starting or holds its start-up.
//
// A connection of this user's that has not said its line within kIdleMs is hung up on, and at most
// kMaxConnections are held at once (the oldest is hung up on to make room), so that a program that
// connects and says nothing holds neither descriptors nor memory of the panel's.
//
// The socket is served in plain system calls and a socket notifier: Qt's network module, and the
// nine libraries it brings, would cost the panel about 2 MiB of memory and part of its start-up
// for this one socket.
class SingleInstance : public QObject
{
    Q_OBJECT
public:
    enum class Claim {
        First, // no other copy: this one serves the key from now on
        HandedOver, // another copy runs on this store and was asked to come to the front
        Unguarded // the key could not be served: run, unguarded (guardProblem() says why)
    };

    explicit SingleInstance(const QString &storePath, QObject *parent = nullptr);
    ~SingleInstance() override; // stops serving and removes the socket

    // The local server's socket for a user's store: a hash of the store's path, in the folder of
    // socketFolder().
    static QString serverName(const QString &storePath);
    QString serverName() const { return m_name; }
    // $XDG_RUNTIME_DIR when it is a folder of this user's that no one else may enter, else
    // "valtrona-panel-<user id>" in the temporary folder.
    static QString socketFolder();

    // Asks a running copy to come forward (`request` kRequest; kAsk only asks what runs), or else
    // becomes the one that others ask. A server socket left behind by a copy that was killed is
    // removed and taken over.
    Claim claim(const char *request = kRequest);

    // What the running copy answered a handover (HandedOver only): "front" once its window is shown.
    QString answer() const { return m_answer; }

    // Why a second copy would not be noticed (Unguarded only), as a line for the status bar.
    QString guardProblem() const { return m_problem; }

    // Run when another copy asks; returns whether the window is now on screen.
    void setActivationHandler(std::function<bool()> handler) { m_activate = std::move(handler); }
    // A monitor without a window: every request is answered kHeadless, and nothing comes forward.
    void setHeadless() { m_headless = true; }

    // The request and the answers on the wire, one line each.
    static constexpr const char *kRequest = "front?";
    static constexpr const char *kShown = "front";
    static constexpr const char *kNotShown = "hidden";
    static constexpr const char *kAsk = "who?"; // answered kHeadless or kWindow; brings nothing forward
    static constexpr const char *kHeadless = "headless";
    static constexpr const char *kWindow = "window";
    // The whole exchange with a running copy, connection included, and the longest answer read.
    static constexpr int kAnswerMs = 3000;
    static constexpr int kMaxAnswer = 64;
    // How long a connection is held for its line, and how many are held at once.
    static constexpr int kIdleMs = kAnswerMs;
    static constexpr int kMaxConnections = 16;

    // For the tests: another time a connection is held for its line.
    void setIdleTimeoutMs(int ms) { m_idleMs = ms; }
    // The connections held now, waiting for their line.
    int connectionsHeld() const { return int(m_connections.size()); }

private:
    enum class Asked { Nobody, Copy, Stranger };
    bool makeFolder();
    Asked askRunningCopy(const char *request);
    bool serve();
    void onConnection();
    void onRequest(int fd);
    void hangUp(int fd);

    struct Connection {
        int fd = -1;
        QSocketNotifier *notifier = nullptr;
        QTimer *idle = nullptr;
        QByteArray said;
    };

    QString m_name;
    QString m_answer;
    QString m_problem;
    int m_serverFd = -1;
    QSocketNotifier *m_serverNotifier = nullptr;
    std::function<bool()> m_activate;
    bool m_headless = false;
    QList<Connection> m_connections; // oldest first
    int m_idleMs = kIdleMs;
};
