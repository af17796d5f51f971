// The simulator's frame decoder on arbitrary bytes. Input: one byte that chooses how the rest is
// cut into reads, then the stream written by the panel.
//
// Checked on every input: every byte comes out exactly once, in order, in the results of the
// feeds and of the final abandon; each result's pieces add up to its bytes, and each piece lies
// within the read it is tagged with; a frame is exactly its lead, letters, 01, value and 02; a
// result that is no frame says why; a run of stray bytes holds at most kMaxStray of them and no
// result more than one frame beyond that, however long the stream; and one read,
// reads of the chosen sizes and one byte per read give the same results.
#include "sim/frame_decoder.h"
#include "fuzz_check.h"

#include <cstdint>
#include <cstring>

namespace {

// The most one result can hold: a run of lead zeros, cut short at kMaxStray, then the rest of the
// longest frame (three letters, 01, a logo line, and the byte that should have been 02).
constexpr int kLongestResult = sim::FrameDecoder::kMaxStray + 3 + 1 + 16 + 1;

struct Run {
    QList<sim::Decoded> results;
    QList<qsizetype> readStarts; // where each read begins in the stream; a read's time is its index
};

template <typename NextLength> Run decode(const QByteArray &stream, NextLength nextLength)
{
    Run run;
    sim::FrameDecoder decoder;
    qsizetype at = 0;
    while (at < stream.size()) {
        const qsizetype n = qMin<qsizetype>(nextLength(), stream.size() - at);
        run.readStarts.append(at);
        run.results += decoder.feed(stream.mid(at, n), double(run.readStarts.size() - 1));
        at += n;
    }
    run.results += decoder.abandon(QStringLiteral("end of input"));
    FUZZ_CHECK(!decoder.pending());
    FUZZ_CHECK(decoder.abandon(QStringLiteral("again")).isEmpty());
    return run;
}

void checkRun(const QByteArray &stream, const Run &run)
{
    qsizetype at = 0;
    for (const sim::Decoded &d : run.results) {
        FUZZ_CHECK(!d.raw.isEmpty());
        if (d.raw.at(0) != '\0') { // a run of stray bytes
            FUZZ_CHECK(!d.raw.contains('\0'));
            FUZZ_CHECK(d.raw.size() <= sim::FrameDecoder::kMaxStray);
        }
        FUZZ_CHECK(d.raw.size() <= kLongestResult);
        FUZZ_CHECK(stream.mid(at, d.raw.size()) == d.raw);

        QByteArray joined;
        double lastTime = -1;
        for (const sim::Piece &piece : d.pieces) {
            FUZZ_CHECK(!piece.bytes.isEmpty());
            FUZZ_CHECK(piece.time > lastTime); // consecutive pieces come from different reads
            lastTime = piece.time;
            const qsizetype read = qsizetype(piece.time);
            FUZZ_CHECK(read >= 0 && read < run.readStarts.size() && double(read) == piece.time);
            const qsizetype begin = at + joined.size();
            const qsizetype readEnd
                = read + 1 < run.readStarts.size() ? run.readStarts[read + 1] : stream.size();
            FUZZ_CHECK(begin >= run.readStarts[read] && begin + piece.bytes.size() <= readEnd);
            joined += piece.bytes;
        }
        FUZZ_CHECK(joined == d.raw);

        if (d.ok) {
            FUZZ_CHECK(d.error.isEmpty());
            const int lead = sim::commandLeadLength(d.command);
            FUZZ_CHECK(d.value.size() == sim::commandValueLength(d.command));
            const QByteArray frame
                = QByteArray(lead, '\0') + sim::commandName(d.command) + '\x01' + d.value + '\x02';
            FUZZ_CHECK(d.raw == frame);
        } else {
            FUZZ_CHECK(!d.error.isEmpty());
        }
        at += d.raw.size();
    }
    FUZZ_CHECK(at == stream.size());
}

bool sameResults(const QList<sim::Decoded> &a, const QList<sim::Decoded> &b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (a[i].ok != b[i].ok || a[i].command != b[i].command || a[i].value != b[i].value
            || a[i].raw != b[i].raw || a[i].error != b[i].error)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    BurstSplitter splitter(data[0]);
    const QByteArray stream(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));

    const Run whole = decode(stream, [&] { return stream.size(); });
    const Run reads = decode(stream, [&] { return qsizetype(splitter.next()); });
    const Run bytes = decode(stream, [] { return qsizetype(1); });
    for (const Run *run : { &whole, &reads, &bytes }) {
        checkRun(stream, *run);
        FUZZ_CHECK(sameResults(run->results, whole.results));
    }
    return 0;
}
