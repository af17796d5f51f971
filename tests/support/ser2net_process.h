#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// Runs Debian's ser2net in the foreground for a test: one connection, a raw TCP accepter (or a
// Telnet one with RFC 2217) on a loopback port of its own in front of a serial device (the
// simulator's pseudo-terminal), from a YAML file in a temporary folder. No pid file and no UUCP lock (-u) go
// anywhere in the system. It can be killed and started again on the same port, and stopped and continued
// (SIGSTOP, SIGCONT) to stand for a server that goes silent.
class Ser2netProcess
{
public:
    enum class Accepter {
        Raw, // tcp://: the bytes as they are, the line set by the configuration (9600n81)
        Rfc2217, // rfc2217://: Telnet with Com Port Control, the line opened at 19200n81 so that
                 // only the client's requests make it 9600 (a pseudo-terminal keeps its speed, but
                 // Linux holds it at 8 bits without parity whatever is asked)
    };

    explicit Ser2netProcess(Accepter accepter = Accepter::Raw);
    ~Ser2netProcess();

    // Starts ser2net for `device` and waits until it listens. The port is picked once, free on
    // 127.0.0.1, and kept by later starts. False when it did not come up; errorText() says why.
    bool start(const QString &device, int timeoutMs = 10000);
    // SIGKILL, and waits for the end.
    void kill();
    bool pause(); // SIGSTOP
    bool resume(); // SIGCONT
    bool isRunning() const { return m_process.state() == QProcess::Running; }

    quint16 port() const { return m_port; }
    // The port map entry that reaches it: tcp://127.0.0.1:PORT or rfc2217://127.0.0.1:PORT.
    QString entry() const;
    QString configText() const { return m_config; }
    QString errorText() const { return m_error; }

    // Whether something listens on 127.0.0.1:`port` (read from /proc/net/tcp, without connecting).
    static bool isListening(quint16 port);
    // A TCP port on 127.0.0.1 that nothing holds at the moment of asking.
    static quint16 freePort();

private:
    Accepter m_accepter;
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_config;
    QString m_error;
};
