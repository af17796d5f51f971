#include "sim/simulator.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>

#include <cstdio>

namespace sim {

namespace {

QString hex(const QByteArray &b)
{
    return QString::fromLatin1(b.toHex());
}

QJsonArray piecesJson(const QList<Piece> &pieces)
{
    QJsonArray a;
    for (const Piece &p : pieces)
        a.append(QJsonObject { { "t", p.time }, { "hex", hex(p.bytes) } });
    return a;
}

QByteArray withTerminator(QByteArray report)
{
    if (!report.endsWith('$'))
        report += '$';
    return report;
}

} // namespace

Simulator::Simulator(const Options &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_pty(options.linkPath)
{
    m_options.fixedReport
        = options.fixedReport.isEmpty() ? QByteArray() : withTerminator(options.fixedReport);
    m_random = options.seed ? QRandomGenerator(options.seed) : QRandomGenerator::securelySeeded();
    connect(&m_pty, &PtyEndpoint::received, this, &Simulator::onReceived);
    m_burstTimer.setSingleShot(true);
    connect(&m_burstTimer, &QTimer::timeout, this, &Simulator::sendNextBurst);
    m_frameTimer.setSingleShot(true);
    connect(&m_frameTimer, &QTimer::timeout, this, [this] {
        const auto results
            = m_decoder.abandon(QStringLiteral("frame unfinished after %1 ms").arg(m_options.frameTimeoutMs));
        for (const Decoded &d : results)
            handle(d);
    });
    m_lineTimer.setInterval(250);
    connect(&m_lineTimer, &QTimer::timeout, this, [this] {
        checkLine(false);
        if (++m_lineTicks % 4 == 0 && m_pty.clearStaleExclusive()) {
            diagnostic(QStringLiteral("cleared the exclusive-use flag a closed panel left on %1")
                           .arg(m_pty.devicePath()));
            m_log.write({ { "event", "exclusive-cleared" }, { "device", m_pty.devicePath() } });
        }
    });
    m_floodEnd.setSingleShot(true);
    connect(&m_floodEnd, &QTimer::timeout, this, &Simulator::endFlood);
    m_floodRound.setSingleShot(true);
    connect(&m_floodRound, &QTimer::timeout, this, &Simulator::floodMore);
    connect(&m_pty, &PtyEndpoint::drained, this, &Simulator::floodMore);
    m_clock.start();
}

Simulator::~Simulator() = default;

bool Simulator::start(QString *error)
{
    if (!m_options.logPath.isEmpty() && !m_log.open(m_options.logPath, error))
        return false;
    if (!m_pty.open(error))
        return false;
    m_log.write({ { "event", "device" }, { "device", m_pty.devicePath() }, { "link", m_pty.linkPath() } });
    checkLine(false);
    m_lineTimer.start();
    writeStateFile();
    return true;
}

void Simulator::diagnostic(const QString &text) const
{
    std::fprintf(stderr, "valtrona-sim: %s\n", qPrintable(text));
    std::fflush(stderr);
}

void Simulator::advanceClock()
{
    const qint64 now = m_clock.elapsed();
    m_tx.advance(now - m_advancedTo);
    m_advancedTo = now;
}

QJsonObject Simulator::lineJson(const LineSettings &s) const
{
    return QJsonObject { { "baud", s.baud }, { "dataBits", s.dataBits },
        { "parity", QString(QChar(s.parity)) }, { "stopBits", s.stopBits }, { "rtscts", s.hardwareFlow },
        { "ok", s.isExpected() }, { "text", s.text() } };
}

void Simulator::checkLine(bool dataArrived)
{
    if (!m_pty.isOpen())
        return;
    const LineSettings now = m_pty.lineSettings();
    if (!m_lineKnown || now != m_line) {
        m_line = now;
        m_lineKnown = true;
        m_wrongLineTold = false;
        diagnostic(
            QStringLiteral("line settings %1%2")
                .arg(now.text(), now.isExpected() ? QString() : QStringLiteral(" (9600 8N1 expected)")));
        QJsonObject r = lineJson(now);
        r["event"] = "line";
        m_log.write(r);
    }
    if (dataArrived && !m_line.isExpected() && !m_wrongLineTold) {
        m_wrongLineTold = true;
        diagnostic(
            QStringLiteral("data arrived with line settings %1, 9600 8N1 expected").arg(m_line.text()));
        QJsonObject r = lineJson(m_line);
        r["event"] = "wrong-line";
        m_log.write(r);
    }
}

void Simulator::onReceived(const QByteArray &bytes, double timeMs)
{
    m_log.write({ { "event", "chunk" }, { "t", timeMs }, { "hex", hex(bytes) } });
    checkLine(true);
    const auto results = m_decoder.feed(bytes, timeMs);
    for (const Decoded &d : results)
        handle(d);
    if (m_decoder.pending())
        m_frameTimer.start(m_options.frameTimeoutMs);
    else
        m_frameTimer.stop();
}

void Simulator::handle(const Decoded &d)
{
    const double t = d.pieces.isEmpty() ? monotonicMs() : d.pieces.last().time;
    if (!d.ok) {
        ++m_malformed;
        diagnostic(QStringLiteral("malformed frame (%1): %2").arg(d.error, hex(d.raw)));
        m_log.write({ { "event", "malformed" }, { "t", t }, { "reason", d.error }, { "hex", hex(d.raw) },
            { "pieces", piecesJson(d.pieces) } });
        writeStateFile();
        return;
    }
    ++m_frames;
    const char *name = commandName(d.command);
    if (d.command != Command::FM)
        diagnostic(QStringLiteral("frame %1 %2").arg(QLatin1String(name), hex(d.value)));
    m_log.write({ { "event", "frame" }, { "t", t }, { "command", name }, { "value", hex(d.value) },
        { "text", QString::fromLatin1(d.value) }, { "hex", hex(d.raw) },
        { "pieces", piecesJson(d.pieces) } });
    advanceClock();
    m_tx.apply(d.command, d.value);
    if (d.command == Command::FM && !m_options.silent)
        answerStatusRequest();
    writeStateFile();
}

void Simulator::answerStatusRequest()
{
    if (m_options.noise > 0 && m_random.generateDouble() < m_options.noise) {
        // Line noise: a few bytes of anything but the report's terminator.
        QByteArray noise;
        const int count = 1 + int(m_random.bounded(8));
        while (noise.size() < count) {
            const char c = char(m_random.bounded(256));
            if (c != '$')
                noise += c;
        }
        reply(noise, "noise");
    }
    if (!m_options.fixedReport.isEmpty()) {
        reply(m_options.fixedReport, "report");
    } else {
        advanceClock();
        reply(m_tx.report(), "report");
    }
}

void Simulator::reply(const QByteArray &bytes, const char *kind)
{
    m_log.write({ { "event", "reply" }, { "kind", kind }, { "hex", hex(bytes) },
        { "text", QString::fromLatin1(bytes) } });
    if (!m_pty.isOpen())
        return;
    if (m_options.burst <= 0 && m_outgoing.isEmpty()) {
        if (!m_pty.write(bytes))
            diagnostic(QStringLiteral("the panel reads nothing: %1 bytes dropped").arg(bytes.size()));
        m_log.write({ { "event", "sent" }, { "hex", hex(bytes) } });
        return;
    }
    m_outgoing += bytes;
    if (!m_burstTimer.isActive())
        sendNextBurst();
}

void Simulator::sendNextBurst()
{
    if (m_outgoing.isEmpty() || !m_pty.isOpen()) {
        m_outgoing.clear();
        return;
    }
    const int n = m_options.burst > 0 ? std::min<int>(m_options.burst, m_outgoing.size()) : m_outgoing.size();
    const QByteArray chunk = m_outgoing.left(n);
    m_outgoing.remove(0, n);
    if (!m_pty.write(chunk))
        diagnostic(QStringLiteral("the panel reads nothing: %1 bytes dropped").arg(chunk.size()));
    m_log.write({ { "event", "sent" }, { "hex", hex(chunk) } });
    if (!m_outgoing.isEmpty())
        m_burstTimer.start(m_options.burstGapMs);
}

void Simulator::startFlood(double seconds, FloodKind kind)
{
    if (m_flood.active)
        endFlood();
    m_flood = {};
    m_flood.active = true;
    m_flood.kind = kind;
    m_flood.seconds = seconds;
    m_flood.running.start();
    m_floodEnd.start(int(seconds * 1000));
    diagnostic(QStringLiteral("flood of %1 for %2 s").arg(QLatin1String(floodKindName(kind))).arg(seconds));
    m_log.write({ { "event", "flood" }, { "phase", "start" }, { "kind", floodKindName(kind) },
        { "seconds", seconds } });
    floodMore();
}

// Tops up the bytes waiting for the panel. Once the pseudo-terminal is full the rest waits in the
// endpoint's queue, and the next round starts when the panel has read it (drained), so the flood
// goes exactly as fast as the panel reads. Every round ends with the next one on its way: drained
// is due whenever bytes wait, and a round that left none schedules the next itself. Pieces are not
// logged one by one: that would be the flood again, on disk.
void Simulator::floodMore()
{
    if (!m_flood.active || !m_pty.isOpen())
        return;
    constexpr qsizetype kTopUp = 16384; // leaves room in the queue for the answers to requests
    constexpr qint64 kRound = 1 << 20; // then the event loop has its turn (commands, the end timer)
    QByteArray report = m_options.fixedReport;
    if (report.isEmpty() && m_flood.kind != FloodKind::Noise) {
        advanceClock();
        report = m_tx.report();
    }
    qint64 round = 0;
    while (m_pty.queued() < kTopUp && round < kRound) {
        const QByteArray piece = floodUnit(m_flood.kind, m_random, report);
        if (!m_pty.write(piece)) {
            if (m_pty.queued() > 0)
                return; // no room until the panel reads: drained starts the next round
            // Refused with nothing waiting: a piece larger than the queue, which can never go.
            diagnostic(
                QStringLiteral("a flood piece of %1 bytes does not fit the line's queue").arg(piece.size()));
            endFlood();
            return;
        }
        m_flood.bytes += piece.size();
        ++m_flood.pieces;
        round += piece.size();
    }
    if (m_pty.queued() == 0) // all taken at once: go on after the pending events
        m_floodRound.start(0);
}

void Simulator::endFlood()
{
    if (!m_flood.active)
        return;
    m_flood.active = false;
    m_floodEnd.stop();
    m_floodRound.stop();
    const qint64 ms = m_flood.running.elapsed();
    diagnostic(QStringLiteral("flood of %1 ended after %2 ms: %3 bytes in %4 pieces")
                   .arg(QLatin1String(floodKindName(m_flood.kind)))
                   .arg(ms)
                   .arg(m_flood.bytes)
                   .arg(m_flood.pieces));
    m_log.write({ { "event", "flood" }, { "phase", "end" }, { "kind", floodKindName(m_flood.kind) },
        { "ms", double(ms) }, { "bytes", double(m_flood.bytes) }, { "pieces", double(m_flood.pieces) } });
    writeStateFile();
}

QJsonObject Simulator::state()
{
    advanceClock();
    QJsonObject s = m_tx.stateJson();
    s["device"] = m_pty.devicePath();
    s["link"] = m_pty.linkPath();
    s["plugged"] = m_pty.isOpen();
    s["line"] = m_pty.isOpen() ? QJsonValue(lineJson(m_pty.lineSettings())) : QJsonValue();
    s["frames"] = m_frames;
    s["malformed"] = m_malformed;
    s["silent"] = m_options.silent;
    s["burst"] = m_options.burst;
    s["noise"] = m_options.noise;
    s["fixedReport"] = QString::fromLatin1(m_options.fixedReport);
    s["flood"] = QJsonObject { { "active", m_flood.active }, { "kind", floodKindName(m_flood.kind) },
        { "bytes", double(m_flood.bytes) }, { "pieces", double(m_flood.pieces) } };
    return s;
}

void Simulator::writeStateFile()
{
    if (m_options.stateFile.isEmpty())
        return;
    QSaveFile f(m_options.stateFile);
    if (f.open(QIODevice::WriteOnly)) {
        f.write(QJsonDocument(state()).toJson());
        f.commit();
    }
}

void Simulator::unplugLine()
{
    if (!m_pty.isOpen())
        return;
    m_outgoing.clear();
    m_burstTimer.stop();
    for (const Decoded &d : m_decoder.abandon(QStringLiteral("line unplugged inside a frame")))
        handle(d);
    m_frameTimer.stop();
    m_pty.close();
    m_lineKnown = false;
    m_log.write({ { "event", "unplug" } });
}

QStringList Simulator::command(const QString &line)
{
    const QString trimmed = line.trimmed();
    const qsizetype space = line.indexOf(u' ');
    const QString word = trimmed.section(u' ', 0, 0);
    // For "send" and "report" the text is everything after the first blank, kept exactly.
    const QString rest = space < 0 ? QString() : line.mid(space + 1);
    const QString arg = rest.trimmed();
    QStringList out;
    auto error = [&](const QString &why) {
        out << QStringLiteral("error %1").arg(why);
        return out;
    };
    bool ok = true;

    if (word.isEmpty()) {
        return error(QStringLiteral("empty command"));
    } else if (word == QLatin1String("silent")) {
        if (arg != QLatin1String("on") && arg != QLatin1String("off") && !arg.isEmpty())
            return error(QStringLiteral("silent on|off"));
        m_options.silent = arg != QLatin1String("off");
    } else if (word == QLatin1String("send")) {
        reply(rest.toLatin1(), "text");
    } else if (word == QLatin1String("sendhex")) {
        const QByteArray bytes = QByteArray::fromHex(arg.toLatin1());
        if (bytes.isEmpty())
            return error(QStringLiteral("sendhex HEX"));
        reply(bytes, "text");
    } else if (word == QLatin1String("report")) {
        if (arg.isEmpty())
            return error(QStringLiteral("report TEXT|live"));
        m_options.fixedReport = arg == QLatin1String("live") ? QByteArray() : withTerminator(rest.toLatin1());
    } else if (word == QLatin1String("burst")) {
        const int n = arg.section(u' ', 0, 0).toInt(&ok);
        const QString gap = arg.section(u' ', 1, 1);
        int gapMs = m_options.burstGapMs;
        if (ok && !gap.isEmpty())
            gapMs = gap.toInt(&ok);
        if (!ok || n < 0 || gapMs < 0)
            return error(QStringLiteral("burst BYTES [GAP_MS]"));
        m_options.burst = n;
        m_options.burstGapMs = gapMs;
    } else if (word == QLatin1String("noise")) {
        const double rate = arg.toDouble(&ok);
        if (!ok || rate < 0 || rate > 1)
            return error(QStringLiteral("noise RATE (0 to 1)"));
        m_options.noise = rate;
    } else if (word == QLatin1String("set")) {
        const QString name = arg.section(u' ', 0, 0);
        const double value = arg.section(u' ', 1, 1).toDouble(&ok);
        if (!ok)
            return error(QStringLiteral("set tamp|tpsu|reflection|uptime VALUE"));
        advanceClock();
        if (name == QLatin1String("tamp"))
            m_tx.setAmpTemp(value);
        else if (name == QLatin1String("tpsu"))
            m_tx.setPsuTemp(value);
        else if (name == QLatin1String("reflection"))
            m_tx.setReflection(value);
        else if (name == QLatin1String("uptime"))
            m_tx.setUptimeMinutes(qint64(value));
        else
            return error(QStringLiteral("set tamp|tpsu|reflection|uptime VALUE"));
    } else if (word == QLatin1String("state")) {
        out << QStringLiteral("state ")
                + QString::fromUtf8(QJsonDocument(state()).toJson(QJsonDocument::Compact));
    } else if (word == QLatin1String("unplug")) {
        unplugLine();
        out << QStringLiteral("unplugged");
    } else if (word == QLatin1String("replug")) {
        unplugLine(); // a replug while plugged is an unplug and a replug
        QString why;
        if (!m_pty.open(&why))
            return error(why);
        m_log.write(
            { { "event", "device" }, { "device", m_pty.devicePath() }, { "link", m_pty.linkPath() } });
        checkLine(false);
        floodMore(); // a flood that has time left goes on on the new line
        out << QStringLiteral("device ") + m_pty.devicePath();
    } else if (word == QLatin1String("flood")) {
        const QString first = arg.section(u' ', 0, 0);
        if (first == QLatin1String("off")) {
            endFlood();
        } else {
            const double seconds = first.toDouble(&ok);
            const QString kindName = arg.section(u' ', 1, 1);
            const std::optional<FloodKind> kind = kindName.isEmpty()
                ? std::optional<FloodKind>(FloodKind::Mixed)
                : floodKindFromName(kindName);
            if (!ok || !(seconds > 0 && seconds <= 3600) || !kind)
                return error(
                    QStringLiteral("flood SECONDS [reports|noise|mixed] (up to 3600 s), or flood off"));
            startFlood(seconds, *kind);
        }
    } else if (word == QLatin1String("quit")) {
        emit quitRequested();
    } else if (word == QLatin1String("help")) {
        out << QStringLiteral("commands: silent on|off, send TEXT, sendhex HEX, report TEXT|live, "
                              "burst BYTES [GAP_MS], noise RATE, set tamp|tpsu|reflection|uptime VALUE, "
                              "flood SECONDS [reports|noise|mixed], flood off, state, unplug, replug, quit");
    } else {
        return error(QStringLiteral("unknown command \"%1\"").arg(word));
    }
    writeStateFile();
    out << QStringLiteral("ok ") + word;
    return out;
}

} // namespace sim
