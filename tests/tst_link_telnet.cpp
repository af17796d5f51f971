// The Telnet codec of the network link, byte by byte: the opening negotiation, the doubling of
// 0xFF both ways, the server's options refused once, the line settings checked against the
// server's answers, and garbage (cut commands, endless subnegotiations, floods) kept bounded.
#include "link/telnet_codec.h"

#include <QtTest>

using Kind = TelnetCodec::Event::Kind;
using Setting = TelnetCodec::Setting;

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

QString kindName(Kind k)
{
    switch (k) {
    case Kind::OptionAgreed:
        return "agreed";
    case Kind::OptionRefused:
        return "refused";
    case Kind::SettingConfirmed:
        return "confirmed";
    case Kind::SettingRejected:
        return "rejected";
    case Kind::LineState:
        return "line";
    case Kind::ModemState:
        return "modem";
    case Kind::FlowSuspended:
        return "suspend";
    case Kind::FlowResumed:
        return "resume";
    case Kind::ServerSignature:
        return "signature";
    case Kind::SubnegotiationDropped:
        return "dropped";
    }
    return "?";
}

// Events as "kind: text" lines, values included where the kind has one.
QStringList described(const QList<TelnetCodec::Event> &events)
{
    QStringList lines;
    for (const auto &e : events) {
        QString line = kindName(e.kind) + ": " + e.text;
        if (e.kind == Kind::LineState || e.kind == Kind::ModemState)
            line += QString(" [%1]").arg(e.value);
        lines << line;
    }
    return lines;
}

// A codec after start(), with the server's answers to binary mode (WILL and DO BINARY) taken in.
TelnetCodec binaryCodec()
{
    TelnetCodec codec;
    codec.start();
    const auto d = codec.decode(hex("fffb00fffd00fffd2c"));
    Q_ASSERT(d.reply.isEmpty());
    return codec;
}

// A codec after start() whose server refused binary mode both ways: the stream follows RFC 854's
// rules for CR.
TelnetCodec textCodec()
{
    TelnetCodec codec;
    codec.start();
    codec.decode(hex("fffc00fffe00fffd2c"));
    return codec;
}

// What ser2net 4.3 (Debian 12) sent on a "telnet(rfc2217)" accepter, recorded from it: its own
// opening (WILL SGA, DO SGA, WILL ECHO, DONT ECHO, DO BINARY, WILL BINARY, DO COM-PORT-OPTION),
// then after the opening of start() its modem state and its answers to the settings (a
// pseudo-terminal behind it, so it did not answer DTR and RTS).
const char *const kSer2netOpening = "fffb03fffd03fffb01fffe01fffd00fffb00fffd2c";
const char *const kSer2netAnswers = "fffa2c6b00fff0fffa2c6500002580fff0fffa2c6608fff0fffa2c6701fff0"
                                    "fffa2c6801fff0fffa2c6901fff0";

struct Outcome {
    QByteArray data;
    QByteArray reply;
    QStringList events;
    qsizetype held = 0; // at the end
    qsizetype maxHeld = 0; // after any piece (not compared: it depends on the cuts)
    bool binaryFrom = false;
    bool binaryTo = false;
    bool comPort = false;
    int dropped = 0;
    QList<int> settings;
    bool operator==(const Outcome &o) const
    {
        return data == o.data && reply == o.reply && events == o.events && held == o.held
            && binaryFrom == o.binaryFrom && binaryTo == o.binaryTo && comPort == o.comPort
            && dropped == o.dropped && settings == o.settings;
    }
};

// Decodes `stream` after start(), cut before each offset in `cuts`.
Outcome decodeInPieces(const QByteArray &stream, const QList<qsizetype> &cuts)
{
    TelnetCodec codec;
    codec.start();
    Outcome o;
    qsizetype at = 0;
    QList<qsizetype> ends = cuts;
    ends << stream.size();
    for (qsizetype end : ends) {
        const auto d = codec.decode(QByteArrayView(stream).sliced(at, end - at));
        o.data += d.data;
        o.reply += d.reply;
        o.events += described(d.events);
        o.maxHeld = qMax(o.maxHeld, codec.heldBytes());
        at = end;
    }
    o.held = codec.heldBytes();
    o.binaryFrom = codec.binaryFromServer();
    o.binaryTo = codec.binaryToServer();
    o.comPort = codec.comPortAgreed();
    o.dropped = codec.droppedSubnegotiations();
    for (int s = 0; s < TelnetCodec::kSettings; ++s)
        o.settings << int(codec.settingState(Setting(s)));
    return o;
}

} // namespace

class TestTelnet : public QObject
{
    Q_OBJECT
private slots:
    void openingBytes();
    void encode_data();
    void encode();
    void decodeData_data();
    void decodeData();
    void roundTrip_data();
    void roundTrip();
    void splitAnywhere_data();
    void splitAnywhere();
    void refusesUnknownOptions_data();
    void refusesUnknownOptions();
    void noAnswerLoops();
    void realServerOpening();
    void settingAnswers_data();
    void settingAnswers();
    void settingsSentWhateverTheServerSays();
    void boundedSubnegotiation_data();
    void boundedSubnegotiation();
    void floodHoldsNothing();
    void signatureAnsweredOnce();
};

void TestTelnet::openingBytes()
{
    TelnetCodec codec;
    QCOMPARE(codec.start().toHex(' '),
        hex("fffb00" // WILL BINARY
            "fffd00" // DO BINARY
            "fffb2c" // WILL COM-PORT-OPTION
            "fffa2c0100002580fff0" // SET-BAUDRATE 9600
            "fffa2c0208fff0" // SET-DATASIZE 8
            "fffa2c0301fff0" // SET-PARITY NONE
            "fffa2c0401fff0" // SET-STOPSIZE 1
            "fffa2c0501fff0" // SET-CONTROL no flow control
            "fffa2c0508fff0" // SET-CONTROL DTR ON
            "fffa2c050bfff0") // SET-CONTROL RTS ON
            .toHex(' '));
    for (int s = 0; s < TelnetCodec::kSettings; ++s)
        QCOMPARE(codec.settingState(Setting(s)), TelnetCodec::SettingState::Asked);
    // A second connection starts over with the same bytes.
    codec.decode(hex("fffe00fffc00"));
    QCOMPARE(codec.start().left(9), hex("fffb00fffd00fffb2c"));
    QVERIFY(codec.binaryToServer());
}

void TestTelnet::encode_data()
{
    QTest::addColumn<bool>("binary");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("wire");

    QTest::newRow("plain") << true << QByteArray("FM") << QByteArray("FM");
    QTest::newRow("one 0xFF") << true << hex("ff") << hex("ffff");
    QTest::newRow("two 0xFF") << true << hex("ffff") << hex("ffffffff");
    QTest::newRow("0xFF at both ends") << true << hex("ff41ff") << hex("ffff41ffff");
    QTest::newRow("empty") << true << QByteArray() << QByteArray();
    QTest::newRow("NUL lead") << true << hex("0000") << hex("0000");
    QTest::newRow("CR, CR NUL, CR LF as they are") << true << hex("0d0d000d0a") << hex("0d0d000d0a");
    QTest::newRow("logo piece with 0xFF and CR") << true << hex("41ff0d42") << hex("41ffff0d42");
    QTest::newRow("IAC-like commands are data") << true << hex("fffbfff0") << hex("fffffbfffff0");
    QTest::newRow("text mode: CR as CR NUL") << false << hex("410d42") << hex("410d0042");
    QTest::newRow("text mode: CR LF as CR NUL LF") << false << hex("0d0a") << hex("0d000a");
    QTest::newRow("text mode: 0xFF doubled") << false << hex("ff0d") << hex("ffff0d00");
}

void TestTelnet::encode()
{
    QFETCH(bool, binary);
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, wire);
    const TelnetCodec codec = binary ? binaryCodec() : textCodec();
    QCOMPARE(codec.binaryToServer(), binary);
    QCOMPARE(codec.encode(data).toHex(' '), wire.toHex(' '));
}

void TestTelnet::decodeData_data()
{
    QTest::addColumn<bool>("binary");
    QTest::addColumn<QByteArray>("wire");
    QTest::addColumn<QByteArray>("data");

    QTest::newRow("a report") << true << QByteArray("$Temp=41,") << QByteArray("$Temp=41,");
    QTest::newRow("IAC IAC is one 0xFF") << true << hex("41ffff42") << hex("41ff42");
    QTest::newRow("four 0xFF") << true << hex("ffffffffffffffff") << hex("ffffffff");
    QTest::newRow("binary: CR NUL stays") << true << hex("0d000d0a0d") << hex("0d000d0a0d");
    QTest::newRow("binary: logo line bytes")
        << true << hex("00004c3101ffff0d41ffff0d02") << hex("00004c3101ff0d41ff0d02");
    QTest::newRow("NOP GA AYT DM BRK ignored")
        << true << hex("41fff142fff9fff643fff2fff344") << QByteArray("ABCD");
    QTest::newRow("stray SE ignored") << true << hex("41fff042") << QByteArray("AB");
    QTest::newRow("subnegotiation of another option skipped")
        << true << hex("41fffa1801fff042") << QByteArray("AB");
    QTest::newRow("text: CR NUL is CR") << false << hex("410d0042") << hex("410d42");
    QTest::newRow("text: CR LF stays") << false << hex("0d0a") << hex("0d0a");
    QTest::newRow("text: NUL alone stays") << false << hex("00410000") << hex("00410000");
    QTest::newRow("text: CR CR NUL") << false << hex("0d0d00") << hex("0d0d");
    QTest::newRow("text: 0xFF doubled") << false << hex("ffff0d00") << hex("ff0d");
}

void TestTelnet::decodeData()
{
    QFETCH(bool, binary);
    QFETCH(QByteArray, wire);
    QFETCH(QByteArray, data);
    TelnetCodec codec = binary ? binaryCodec() : textCodec();
    QCOMPARE(codec.binaryFromServer(), binary);
    const auto d = codec.decode(wire);
    QCOMPARE(d.data.toHex(' '), data.toHex(' '));
    QVERIFY(d.reply.isEmpty());
    QVERIFY(d.events.isEmpty());
}

void TestTelnet::roundTrip_data()
{
    QTest::addColumn<bool>("binary");
    QTest::addColumn<QByteArray>("data");

    QByteArray every;
    for (int i = 0; i < 256; ++i)
        every.append(char(i));
    const QByteArray logo = hex("00004c31014142ff0d0d00ff0a02");
    QTest::newRow("binary: every byte") << true << every;
    QTest::newRow("binary: logo line") << true << logo;
    QTest::newRow("text: every byte") << false << every;
    QTest::newRow("text: logo line") << false << logo;
    QTest::newRow("text: CR at the end") << false << hex("410d");
}

// What one codec encodes, another decodes to the same bytes, in either mode: the server's data
// follows the same rules as ours.
void TestTelnet::roundTrip()
{
    QFETCH(bool, binary);
    QFETCH(QByteArray, data);
    const TelnetCodec sender = binary ? binaryCodec() : textCodec();
    TelnetCodec receiver = binary ? binaryCodec() : textCodec();
    QByteArray decoded;
    const QByteArray wire = sender.encode(data);
    for (char c : wire) // byte by byte, as the worst split
        decoded += receiver.decode(QByteArrayView(&c, 1)).data;
    QCOMPARE(decoded.toHex(' '), data.toHex(' '));
}

void TestTelnet::splitAnywhere_data()
{
    QTest::addColumn<QByteArray>("stream");

    QTest::newRow("ser2net session") << hex(kSer2netOpening) + hex(kSer2netAnswers) + hex("2441ffff0d000d42");
    QTest::newRow("options, data and notifications")
        << hex("fffb00fffd0141fffd18fffa2c6a03fff0ffff0d0d00fffa2c6510fff0fffa2c6901fff042");
    QTest::newRow("text mode CR NUL across commands") << hex("fffc00410dfff1000d0d00ffff0dff");
    QTest::newRow("rejected settings")
        << hex("fffa2c6500000000fff0fffa2c6709fff0fffa2c6909fff0fffa2c690cfff0");
    QTest::newRow("cut and skipped subnegotiations") << hex("fffa2c6441fffb03fffa2c64") + QByteArray(300, 'x')
            + hex("fffffff0") + QByteArray("after") + hex("fffa2c") + QByteArray(5, 'y') + hex("fffa");
    QTest::newRow("signature asked and given")
        << hex("fffa2c64fff0fffa2c64") + QByteArray("server") + hex("fff0fffa2c6cfff0fffa2c6dfff0");
    QTest::newRow("half command at the end") << hex("41fffd");
    QTest::newRow("lone IAC at the end") << hex("4142ff");
}

// Bytes cut at any one point, or at every point, decode as they do in one piece: the same data,
// answers, events and state.
void TestTelnet::splitAnywhere()
{
    QFETCH(QByteArray, stream);
    const Outcome whole = decodeInPieces(stream, {});
    for (qsizetype cut = 0; cut <= stream.size(); ++cut) {
        const Outcome pieces = decodeInPieces(stream, { cut });
        QVERIFY(pieces.maxHeld <= TelnetCodec::kMaxSubnegotiation);
        if (!(pieces == whole))
            QFAIL(qPrintable(
                QString("cut at %1 differs: data %2 / %3, events %4 / %5")
                    .arg(cut)
                    .arg(QString::fromLatin1(pieces.data.toHex()), QString::fromLatin1(whole.data.toHex()),
                        pieces.events.join("; "), whole.events.join("; "))));
    }
    QList<qsizetype> everyByte;
    for (qsizetype i = 1; i < stream.size(); ++i)
        everyByte << i;
    QVERIFY(decodeInPieces(stream, everyByte) == whole);
}

void TestTelnet::refusesUnknownOptions_data()
{
    QTest::addColumn<QByteArray>("wire");
    QTest::addColumn<QByteArray>("reply");

    QTest::newRow("DO SGA -> WONT") << hex("fffd03") << hex("fffc03");
    QTest::newRow("WILL SGA -> DONT") << hex("fffb03") << hex("fffe03");
    QTest::newRow("WILL ECHO -> DONT") << hex("fffb01") << hex("fffe01");
    QTest::newRow("DO TERMINAL-TYPE -> WONT") << hex("fffd18") << hex("fffc18");
    QTest::newRow("DO 255 -> WONT") << hex("fffdff") << hex("fffcff");
    QTest::newRow("server WILL COM-PORT-OPTION -> DONT") << hex("fffb2c") << hex("fffe2c");
    QTest::newRow("WONT and DONT of unknown options: nothing") << hex("fffc03fffe18") << QByteArray();
    QTest::newRow("DO and WILL BINARY: agreed, nothing more") << hex("fffd00fffb00") << QByteArray();
    QTest::newRow("DO COM-PORT-OPTION: agreed, nothing more") << hex("fffd2c") << QByteArray();
    QTest::newRow("BINARY switched off: acknowledged") << hex("fffd00fffe00") << hex("fffc00");
}

void TestTelnet::refusesUnknownOptions()
{
    QFETCH(QByteArray, wire);
    QFETCH(QByteArray, reply);
    TelnetCodec codec;
    codec.start();
    QCOMPARE(codec.decode(wire).reply.toHex(' '), reply.toHex(' '));
}

void TestTelnet::noAnswerLoops()
{
    // The same request again and again is refused once.
    {
        TelnetCodec codec;
        codec.start();
        QCOMPARE(codec.decode(hex("fffd03fffd03fffb01fffd03fffb01")).reply, hex("fffc03fffe01"));
        QCOMPARE(codec.decode(hex("fffd03fffb01")).reply, QByteArray());
        // Once the server has said the opposite, a new request is a new question.
        QCOMPARE(codec.decode(hex("fffe03fffd03")).reply, hex("fffc03"));
    }
    // A server that sends back whatever it is sent (a loopback plug on the network): the talk dies
    // down instead of going round.
    {
        TelnetCodec codec;
        QByteArray toServer = codec.start();
        int rounds = 0;
        while (!toServer.isEmpty() && rounds < 10) {
            toServer = codec.decode(toServer).reply;
            ++rounds;
        }
        QVERIFY2(toServer.isEmpty(), qPrintable(QString("still talking after %1 rounds").arg(rounds)));
        QVERIFY(rounds <= 3);
    }
    // Two requests for BINARY switched on and off and on: each change answered once.
    {
        TelnetCodec codec;
        codec.start();
        QCOMPARE(codec.decode(hex("fffb00fffb00fffc00fffc00fffb00fffb00")).reply, hex("fffe00fffd00"));
        QVERIFY(codec.binaryFromServer());
    }
}

// The opening ser2net sends and its answers, as recorded from it, through the codec: its other
// options refused once, its acknowledgement not answered again, binary mode and COM-PORT-OPTION
// agreed, the answered settings confirmed, the unanswered ones still asked.
void TestTelnet::realServerOpening()
{
    TelnetCodec codec;
    codec.start();
    const auto opening = codec.decode(hex(kSer2netOpening));
    QCOMPARE(opening.reply.toHex(' '), hex("fffe03fffc03fffe01").toHex(' '));
    QCOMPARE(described(opening.events),
        QStringList({ "agreed: The server agreed to binary transmission toward it",
            "agreed: The server agreed to binary transmission from it",
            "agreed: The server agreed to COM-PORT-OPTION" }));
    const auto answers = codec.decode(hex(kSer2netAnswers) + hex("fffe03"));
    QVERIFY(answers.reply.isEmpty());
    QCOMPARE(described(answers.events),
        QStringList({ "modem: Modem state 0x00 [0]", "confirmed: The server set the baud rate to 9600",
            "confirmed: The server set the data bits to 8", "confirmed: The server set the parity to none",
            "confirmed: The server set the stop bits to 1",
            "confirmed: The server set the flow control to none" }));
    QCOMPARE(codec.settingState(Setting::Dtr), TelnetCodec::SettingState::Asked);
    QCOMPARE(codec.settingState(Setting::Rts), TelnetCodec::SettingState::Asked);
    QVERIFY(codec.binaryFromServer() && codec.binaryToServer() && codec.comPortAgreed());
}

void TestTelnet::settingAnswers_data()
{
    QTest::addColumn<QByteArray>("wire");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<int>("setting");
    QTest::addColumn<int>("state");

    const int rejected = int(TelnetCodec::SettingState::Rejected);
    const int confirmed = int(TelnetCodec::SettingState::Confirmed);
    QTest::newRow("baud 0") << hex("fffa2c6500000000fff0")
                            << QStringList { "rejected: The server set the baud rate to 0 in place of 9600" }
                            << int(Setting::BaudRate) << rejected;
    QTest::newRow("baud 4800")
        << hex("fffa2c65000012c0fff0")
        << QStringList { "rejected: The server set the baud rate to 4800 in place of 9600" }
        << int(Setting::BaudRate) << rejected;
    QTest::newRow("baud cut to 3 bytes")
        << hex("fffa2c65002580fff0")
        << QStringList { "rejected: The server answered the baud rate with a malformed value" }
        << int(Setting::BaudRate) << rejected;
    QTest::newRow("baud with a doubled 0xFF") << hex("fffa2c6500ffff2580fff0")
                                              << QStringList { "rejected: The server set the baud rate to "
                                                               "16721280 in place of 9600" }
                                              << int(Setting::BaudRate) << rejected;
    QTest::newRow("7 data bits") << hex(
        "fffa2c6607fff0") << QStringList { "rejected: The server set the data bits to 7 in place of 8" }
                                 << int(Setting::DataSize) << rejected;
    QTest::newRow("even parity") << hex(
        "fffa2c6703fff0") << QStringList { "rejected: The server set the parity to even in place of none" }
                                 << int(Setting::Parity) << rejected;
    QTest::newRow("1.5 stop bits") << hex(
        "fffa2c6803fff0") << QStringList { "rejected: The server set the stop bits to 1.5 in place of 1" }
                                   << int(Setting::StopSize) << rejected;
    QTest::newRow("hardware flow control")
        << hex("fffa2c6903fff0")
        << QStringList { "rejected: The server set the flow control to hardware in place of none" }
        << int(Setting::FlowControl) << rejected;
    QTest::newRow("DTR off") << hex("fffa2c6909fff0")
                             << QStringList { "rejected: The server set DTR to off in place of on" }
                             << int(Setting::Dtr) << rejected;
    QTest::newRow("RTS off") << hex("fffa2c690cfff0")
                             << QStringList { "rejected: The server set RTS to off in place of on" }
                             << int(Setting::Rts) << rejected;
    QTest::newRow("DTR and RTS on") << hex("fffa2c6908fff0fffa2c690bfff0")
                                    << QStringList { "confirmed: The server set DTR to on",
                                           "confirmed: The server set RTS to on" }
                                    << int(Setting::Rts) << confirmed;
    QTest::newRow("the same rejection twice: told once")
        << hex("fffa2c6607fff0fffa2c6607fff0")
        << QStringList { "rejected: The server set the data bits to 7 in place of 8" }
        << int(Setting::DataSize) << rejected;
    QTest::newRow("rejected, then set: both told")
        << hex("fffa2c6607fff0fffa2c6608fff0fffa2c6608fff0")
        << QStringList { "rejected: The server set the data bits to 7 in place of 8",
               "confirmed: The server set the data bits to 8" }
        << int(Setting::DataSize) << confirmed;
    QTest::newRow("line and modem state")
        << hex("fffa2c6a60fff0fffa2c6bb0fff0")
        << QStringList { "line: Line state 0x60 [96]", "modem: Modem state 0xb0 [176]" } << int(Setting::Dtr)
        << int(TelnetCodec::SettingState::Asked);
    QTest::newRow("flow control suspended and resumed")
        << hex("fffa2c6cfff0fffa2c6dfff0")
        << QStringList { "suspend: The server asks for a pause in sending",
               "resume: The server asks for sending to resume" }
        << int(Setting::FlowControl) << int(TelnetCodec::SettingState::Asked);
    QTest::newRow("COM-PORT-OPTION refused")
        << hex("fffe2c") << QStringList { "refused: The server refused COM-PORT-OPTION" }
        << int(Setting::BaudRate) << int(TelnetCodec::SettingState::Asked);
}

void TestTelnet::settingAnswers()
{
    QFETCH(QByteArray, wire);
    QFETCH(QStringList, events);
    QFETCH(int, setting);
    QFETCH(int, state);
    TelnetCodec codec;
    codec.start();
    const auto d = codec.decode(wire);
    QCOMPARE(described(d.events), events);
    QCOMPARE(int(codec.settingState(Setting(setting))), state);
    QVERIFY(d.reply.isEmpty());
    QVERIFY(d.data.isEmpty());
}

// The settings go out with the opening, before any answer; one that comes without having been
// asked for (no start()) is not told as a rejection.
void TestTelnet::settingsSentWhateverTheServerSays()
{
    TelnetCodec codec;
    const QByteArray opening = codec.start();
    QVERIFY(opening.contains(hex("fffa2c0100002580fff0")));
    QVERIFY(opening.indexOf(hex("fffb2c")) < opening.indexOf(hex("fffa2c01")));
    const auto refused = codec.decode(hex("fffe2c"));
    QVERIFY(!codec.comPortAgreed());
    QVERIFY(refused.reply.isEmpty());

    TelnetCodec fresh;
    QVERIFY(fresh.decode(hex("fffa2c6500000000fff0")).events.isEmpty());
}

void TestTelnet::boundedSubnegotiation_data()
{
    QTest::addColumn<QByteArray>("wire");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("dropped");
    QTest::addColumn<QStringList>("events");

    const QByteArray longest(TelnetCodec::kMaxSubnegotiation - 1, 'S'); // with the code: 256 bytes
    QTest::newRow("256 bytes: read") << hex("fffa2c64") + longest + hex("fff0") + "A" << QByteArray("A") << 0
                                     << QStringList { "signature: " + QString(longest) };
    QTest::newRow("257 bytes: dropped")
        << hex("fffa2c64") + longest + "S" + hex("fff0") + "A" << QByteArray("A") << 1
        << QStringList { "dropped: A subnegotiation from the server ran past 256 "
                         "bytes" };
    QTest::newRow("a megabyte without IAC SE, then data")
        << hex("fffa2c") + QByteArray(1 << 20, char(0x65)) + hex("ffff") + QByteArray(1000, 'x') + hex("fff0")
            + "$A,"
        << QByteArray("$A,") << 1
        << QStringList { "dropped: A subnegotiation from the server ran past 256 bytes" };
    QTest::newRow("cut by a command")
        << hex("fffa2c6541fffd0342") << QByteArray("B") << 1
        << QStringList { "dropped: A subnegotiation from the server was cut short "
                         "by a command" };
    QTest::newRow("endless one cut by a command")
        << hex("fffa2c") + QByteArray(1000, 'x') + hex("fff142") << QByteArray("B") << 1
        << QStringList { "dropped: A subnegotiation from the server ran past 256 bytes" };
    QTest::newRow("empty subnegotiation") << hex("fffafff041") << QByteArray("A") << 0 << QStringList();
    QTest::newRow("subnegotiation of nothing but 0xFF")
        << hex("fffaffffffff42fff041") << QByteArray("A") << 0 << QStringList();
}

void TestTelnet::boundedSubnegotiation()
{
    QFETCH(QByteArray, wire);
    QFETCH(QByteArray, data);
    QFETCH(int, dropped);
    QFETCH(QStringList, events);
    TelnetCodec codec = binaryCodec();
    QByteArray got;
    QStringList told;
    qsizetype held = 0;
    for (qsizetype at = 0; at < wire.size(); at += 4096) {
        const auto d = codec.decode(QByteArrayView(wire).sliced(at, qMin<qsizetype>(4096, wire.size() - at)));
        got += d.data;
        told += described(d.events);
        held = qMax(held, codec.heldBytes());
    }
    QCOMPARE(got, data);
    QCOMPARE(codec.droppedSubnegotiations(), dropped);
    QCOMPARE(told, events);
    QVERIFY(held <= TelnetCodec::kMaxSubnegotiation);
    QCOMPARE(codec.heldBytes(), 0);
}

// A flood of random bytes and of commands: what is held between calls stays within its bound, the
// answers stay within the size of the flood.
void TestTelnet::floodHoldsNothing()
{
    TelnetCodec codec;
    codec.start();
    QRandomGenerator random(22);
    qsizetype replies = 0;
    qsizetype fed = 0;
    for (int i = 0; i < 400; ++i) {
        QByteArray burst(4096, '\0');
        for (char &c : burst) {
            // Mostly IAC and the negotiation verbs, so that commands of every kind come often.
            const quint32 r = random.bounded(16u);
            c = r < 6 ? char(0xff) : r < 10 ? char(0xfa + random.bounded(5u)) : char(random.bounded(256u));
        }
        const auto d = codec.decode(burst);
        fed += burst.size();
        replies += d.reply.size();
        QVERIFY(codec.heldBytes() <= TelnetCodec::kMaxSubnegotiation);
        QVERIFY(d.data.size() <= burst.size());
    }
    // At most one three-byte answer to a three-byte request, plus the one signature: no more
    // answers than the server sent.
    QVERIFY2(replies <= fed + 64, qPrintable(QString("%1 bytes of answers to %2").arg(replies).arg(fed)));
}

void TestTelnet::signatureAnsweredOnce()
{
    TelnetCodec codec("test signature");
    codec.start();
    const auto d = codec.decode(hex("fffa2c64fff0fffa2c64fff0"));
    QCOMPARE(d.reply, hex("fffa2c00") + "test signature" + hex("fff0"));
    QCOMPARE(codec.decode(hex("fffa2c64fff0")).reply, QByteArray());
    codec.start();
    QCOMPARE(codec.decode(hex("fffa2c64fff0")).reply, hex("fffa2c00") + "test signature" + hex("fff0"));
}

QTEST_GUILESS_MAIN(TestTelnet)
#include "tst_link_telnet.moc"
