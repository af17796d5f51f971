#pragma once

#include "sim/event_log.h"
#include "sim/flood.h"
#include "sim/frame_decoder.h"
#include "sim/pty_endpoint.h"
#include "sim/transmitter.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QRandomGenerator>
#include <QStringList>
#include <QTimer>

namespace sim {

// How the simulator behaves; the command line fills it and run-time commands change it.
struct Options {
    QString linkPath; // a symbolic link to the device, replaced on every replug
    QString logPath; // JSON lines: frames, chunks, replies, line settings
    QString stateFile; // the state JSON, rewritten after every change
    int burst = 0; // send answers in bursts of this many bytes (0: in one write)
    int burstGapMs = 20; // the gap between two bursts
    bool silent = false; // answer no status request
    double noise = 0; // the chance that a few random bytes go out before a report
    quint32 seed = 0; // for the noise; 0 picks one
    QByteArray fixedReport; // sent instead of the live report, "$" ended
    int frameTimeoutMs = 3000; // a frame unfinished for this long is given up (logo pauses are 1 s)
};

// The stand-in transmitter: owns the pseudo-terminal, decodes what the panel writes, keeps the
// board's state and answers status requests, and runs the one-line commands a test sends it.
class Simulator : public QObject
{
    Q_OBJECT
public:
    explicit Simulator(const Options &options, QObject *parent = nullptr);
    ~Simulator() override;

    // Opens the pseudo-terminal, the log and the state file.
    bool start(QString *error);

    QString devicePath() const { return m_pty.devicePath(); }
    Transmitter &transmitter() { return m_tx; }

    // Carries out one command ("silent on", "send TEXT", "unplug", "state", ...). Returns the lines
    // to print, the last being "ok <command>" or "error <why>".
    QStringList command(const QString &line);

    // The board's state with the line's: device, line settings, frame counts, behaviours.
    QJsonObject state();

signals:
    void quitRequested();

private:
    void onReceived(const QByteArray &bytes, double timeMs);
    void handle(const Decoded &d);
    void answerStatusRequest();
    void reply(const QByteArray &bytes, const char *kind);
    void sendNextBurst();
    void checkLine(bool dataArrived);
    void writeStateFile();
    void unplugLine();
    void advanceClock();
    QJsonObject lineJson(const LineSettings &s) const;
    void diagnostic(const QString &text) const;
    void startFlood(double seconds, FloodKind kind);
    void floodMore();
    void endFlood();

    Options m_options;
    PtyEndpoint m_pty;
    FrameDecoder m_decoder;
    Transmitter m_tx;
    EventLog m_log;
    QRandomGenerator m_random;
    QElapsedTimer m_clock;
    qint64 m_advancedTo = 0;
    QByteArray m_outgoing; // answer bytes still to go out in bursts
    QTimer m_burstTimer;
    QTimer m_frameTimer; // gives up a frame the panel stopped sending
    QTimer m_lineTimer; // watches the line settings and the exclusive-use flag
    int m_lineTicks = 0;
    LineSettings m_line;
    bool m_lineKnown = false;
    bool m_wrongLineTold = false; // once per set of wrong settings
    int m_frames = 0;
    int m_malformed = 0;

    // A flood in progress: pieces go out whenever the pseudo-terminal takes more, until m_floodEnd.
    struct Flood {
        bool active = false;
        FloodKind kind = FloodKind::Mixed;
        double seconds = 0;
        qint64 bytes = 0;
        qint64 pieces = 0;
        QElapsedTimer running;
    } m_flood;
    QTimer m_floodEnd;
    QTimer m_floodRound; // the next round when the last one left nothing waiting
};

} // namespace sim
