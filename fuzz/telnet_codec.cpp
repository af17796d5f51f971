// The Telnet codec of the network link on arbitrary bytes from a server.
// Input: one byte that chooses how the rest is cut into bursts, one byte of flags (bit 0: start()
// first, as the link does; bit 1: the server's WILL and DO BINARY before the stream), then the
// stream.
//
// Checked on every input: what the codec holds between calls never exceeds kMaxSubnegotiation;
// the data is never longer than what came in, and the answers never longer than it plus one
// signature; one burst, bursts of the chosen sizes and one byte per burst give the same data,
// answers, events and state; the answers carry no data; every event has a text; and the stream
// taken as data comes back whole through encode() and a second codec's decode(), in binary mode
// and in text mode, byte by byte as in one piece.
#include "link/telnet_codec.h"
#include "fuzz_check.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>

namespace {

using Event = TelnetCodec::Event;

const QByteArray kSignature = QByteArrayLiteral("fuzz");
const QByteArray kServerBinary = QByteArray::fromHex("fffb00fffd00");
const QByteArray kServerText = QByteArray::fromHex("fffc00fffe00");

struct Outcome {
    QByteArray data;
    QByteArray reply;
    QStringList events;
    qsizetype held = 0;
    bool binaryTo = false;
    bool binaryFrom = false;
    bool comPort = false;
    int dropped = 0;
    QList<int> settings;
};

QString described(const Event &e)
{
    return QString::number(int(e.kind)) + u'/' + QString::number(e.option) + u'/'
        + QString::number(int(e.toServer)) + u'/' + QString::number(int(e.setting)) + u'/'
        + QString::number(e.value) + u'/' + e.text;
}

TelnetCodec prepared(uint8_t flags, Outcome &o)
{
    TelnetCodec codec(kSignature);
    if (flags & 1)
        o.reply += codec.start();
    if (flags & 2) {
        const auto d = codec.decode(kServerBinary);
        o.reply += d.reply;
    }
    return codec;
}

// Feeds `stream` in pieces of the lengths `nextLength` gives.
template <typename NextLength> Outcome run(uint8_t flags, const QByteArray &stream, NextLength nextLength)
{
    Outcome o;
    TelnetCodec codec = prepared(flags, o);
    qsizetype at = 0;
    while (at < stream.size()) {
        const qsizetype n = qMin<qsizetype>(nextLength(), stream.size() - at);
        const auto d = codec.decode(QByteArrayView(stream).sliced(at, n));
        FUZZ_CHECK(codec.heldBytes() <= TelnetCodec::kMaxSubnegotiation);
        o.data += d.data;
        o.reply += d.reply;
        for (const Event &e : d.events) {
            FUZZ_CHECK(!e.text.isEmpty());
            o.events << described(e);
        }
        at += n;
    }
    o.held = codec.heldBytes();
    o.binaryTo = codec.binaryToServer();
    o.binaryFrom = codec.binaryFromServer();
    o.comPort = codec.comPortAgreed();
    o.dropped = codec.droppedSubnegotiations();
    for (int s = 0; s < TelnetCodec::kSettings; ++s)
        o.settings << int(codec.settingState(TelnetCodec::Setting(s)));
    return o;
}

// `data` through encode() of a codec in the mode `server` puts it in and decode() of another in
// the same mode, whole and byte by byte.
void checkRoundTrip(const QByteArray &server, const QByteArray &data)
{
    TelnetCodec sender;
    sender.start();
    sender.decode(server);
    const QByteArray wire = sender.encode(data);
    FUZZ_CHECK(wire.size() >= data.size() && wire.size() <= 2 * data.size());

    TelnetCodec whole;
    whole.start();
    whole.decode(server);
    const auto d = whole.decode(wire);
    FUZZ_CHECK(d.data == data);
    FUZZ_CHECK(d.reply.isEmpty() && d.events.isEmpty());

    TelnetCodec bytes;
    bytes.start();
    bytes.decode(server);
    QByteArray decoded;
    for (char c : wire) {
        const auto one = bytes.decode(QByteArrayView(&c, 1));
        FUZZ_CHECK(one.reply.isEmpty() && one.events.isEmpty());
        decoded += one.data;
    }
    FUZZ_CHECK(decoded == data);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    BurstSplitter splitter(data[0]);
    const uint8_t flags = data[1];
    const QByteArray stream(reinterpret_cast<const char *>(data + 2), qsizetype(size - 2));

    const Outcome whole = run(flags, stream, [&] { return stream.size(); });
    const Outcome bursts = run(flags, stream, [&] { return qsizetype(splitter.next()); });
    const Outcome bytes = run(flags, stream, [] { return qsizetype(1); });
    for (const Outcome *o : { &bursts, &bytes }) {
        FUZZ_CHECK(o->data == whole.data);
        FUZZ_CHECK(o->reply == whole.reply);
        FUZZ_CHECK(o->events == whole.events);
        FUZZ_CHECK(o->held == whole.held);
        FUZZ_CHECK(o->binaryTo == whole.binaryTo && o->binaryFrom == whole.binaryFrom);
        FUZZ_CHECK(o->comPort == whole.comPort);
        FUZZ_CHECK(o->dropped == whole.dropped);
        FUZZ_CHECK(o->settings == whole.settings);
    }

    // Nothing grows with the input beyond the input: data at most what came, answers at most what
    // came (and the opening, the binary answers and one signature command).
    FUZZ_CHECK(whole.data.size() <= stream.size());
    FUZZ_CHECK(whole.reply.size() <= stream.size() + 128 + kSignature.size());
    // The answers are commands only: read as a stream, they hold no data.
    TelnetCodec reader;
    FUZZ_CHECK(reader.decode(whole.reply).data.isEmpty());

    // A stream without IAC after binary mode both ways is data as it is.
    if ((flags & 2) && !stream.contains(char(0xff)))
        FUZZ_CHECK(whole.data == stream);

    checkRoundTrip(kServerBinary, stream);
    checkRoundTrip(kServerText, stream);
    return 0;
}
