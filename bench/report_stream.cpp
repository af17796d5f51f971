#include "bench/report_stream.h"

#include "sim/transmitter.h"

#include <QRandomGenerator>

namespace report_stream {

namespace {

// Moves the simulated board to a new, plausible state: time passes, the output power, the
// temperatures and the reflected share change, so the fields' texts change from report to report.
void wander(sim::Transmitter &tx, QRandomGenerator &random)
{
    tx.advance(qint64(500 + random.bounded(1500)));
    if (random.bounded(20) == 0) {
        const char output = char(4 + random.bounded(101));
        tx.apply(sim::Command::FO, QByteArray(1, output));
        tx.apply(sim::Command::FW, QByteArray(1, '0'));
    }
    if (random.bounded(10) == 0)
        tx.setAmpTemp(25.0 + random.bounded(60));
    if (random.bounded(10) == 0)
        tx.setPsuTemp(25.0 + random.bounded(50));
    if (random.bounded(10) == 0)
        tx.setReflection(random.bounded(30) / 100.0);
}

QByteArray noise(QRandomGenerator &random)
{
    QByteArray bytes;
    const int count = 1 + int(random.bounded(8));
    while (bytes.size() < count) {
        const char c = char(random.bounded(256));
        if (c != '$')
            bytes += c;
    }
    return bytes;
}

} // namespace

Stream make(qsizetype minBytes, double noiseChance, quint32 seed)
{
    QRandomGenerator random(seed);
    sim::Transmitter tx;
    tx.setUptimeMinutes(3 * 1440 + 7 * 60 + 41);
    Stream s;
    while (s.bytes.size() < minBytes) {
        if (random.generateDouble() < noiseChance) {
            const QByteArray n = noise(random);
            s.bytes += n;
            s.noiseBytes += int(n.size());
        }
        wander(tx, random);
        s.bytes += tx.report();
        ++s.reports;
    }
    return s;
}

QList<QByteArray> distinctReports(int count, quint32 seed)
{
    QRandomGenerator random(seed);
    sim::Transmitter tx;
    QList<QByteArray> out;
    while (out.size() < count) {
        wander(tx, random);
        const QByteArray r = tx.report();
        if (out.isEmpty() || out.constLast() != r)
            out.append(r);
    }
    return out;
}

std::vector<QByteArray> bursts(const QByteArray &bytes, int burst)
{
    std::vector<QByteArray> out;
    out.reserve(size_t(bytes.size() / burst + 1));
    for (qsizetype at = 0; at < bytes.size(); at += burst)
        out.push_back(bytes.mid(at, burst));
    return out;
}

} // namespace report_stream
