#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <array>
#include <cstdint>

// The client side of a Telnet connection to a serial device server (RFC 854/855), with binary
// transmission both ways (RFC 856) and the Com Port Control option (RFC 2217). A state machine
// without I/O: the network link feeds it what the socket received and writes what it returns.
//
//   start()    the opening negotiation, written once right after the connection is up: WILL and
//              DO BINARY, WILL COM-PORT-OPTION, then at once (whatever the server answers to the
//              option, since servers differ there) the line settings of a local port: 9600 baud,
//              8 data bits, no parity, 1 stop bit, no flow control, DTR on, RTS on.
//   decode()   the server's bytes -> the data they carry, the answers to send back, and events.
//   encode()   data to send -> one buffer to write, every 0xFF doubled. One buffer in, one out, so a
//              frame field that was one write stays one write on the socket.
//
// Options other than BINARY and COM-PORT-OPTION are refused (DO x -> WONT x, WILL x -> DONT x),
// each request once: a repeat of the same request is not answered again until the server says
// the opposite, so no two peers can talk each other into a loop. A command cut at the end of a
// buffer waits for the next one, so bytes split anywhere decode as they do in one piece. A
// subnegotiation longer than kMaxSubnegotiation bytes is dropped; nothing held grows with the input.
class TelnetCodec
{
public:
    // Telnet commands (RFC 854) and options (RFC 856, RFC 2217).
    enum : uint8_t {
        SE = 240,
        NOP = 241,
        GA = 249,
        SB = 250,
        WILL = 251,
        WONT = 252,
        DO = 253,
        DONT = 254,
        IAC = 255
    };
    enum : uint8_t { OptionBinary = 0, OptionComPort = 44 };

    // The line settings asked for in start(), each answered by the server with the value it set.
    enum class Setting { BaudRate, DataSize, Parity, StopSize, FlowControl, Dtr, Rts };
    static constexpr int kSettings = 7;

    // Values the settings are asked with (RFC 2217's codes).
    static constexpr uint32_t kBaudRate = 9600;
    static constexpr uint8_t kDataSize = 8;
    static constexpr uint8_t kParityNone = 1;
    static constexpr uint8_t kStopSizeOne = 1;
    static constexpr uint8_t kControlNoFlowControl = 1;
    static constexpr uint8_t kControlDtrOn = 8;
    static constexpr uint8_t kControlRtsOn = 11;

    // The most bytes a subnegotiation may carry between IAC SB <option> and IAC SE.
    static constexpr int kMaxSubnegotiation = 256;

    struct Event {
        enum class Kind {
            OptionAgreed, // option: BINARY or COM-PORT-OPTION; toServer: which direction
            OptionRefused, // the same, refused or switched off by the server
            SettingConfirmed, // setting: reported back with the value asked for
            SettingRejected, // setting: reported back with another value (value), or malformed
            LineState, // value: NOTIFY-LINESTATE's mask (RFC 2217's bits)
            ModemState, // value: NOTIFY-MODEMSTATE's mask
            FlowSuspended, // FLOWCONTROL-SUSPEND: the server asks for a pause in sending
            FlowResumed, // FLOWCONTROL-RESUME
            ServerSignature, // text: the server's SIGNATURE text
            SubnegotiationDropped, // text: why (too long, cut by another command)
        };
        Kind kind = Kind::OptionAgreed;
        int option = -1;
        bool toServer = false;
        Setting setting = Setting::BaudRate;
        uint32_t value = 0;
        // For the operator: what happened, naming the option or setting, e.g. "The server set the
        // baud rate to 4800 in place of 9600".
        QString text;
    };

    struct Decoded {
        QByteArray data; // the data bytes, with IAC IAC undone and (outside binary mode) CR NUL as CR
        QByteArray reply; // to be written to the server, as it is, before any further data
        QList<Event> events;
    };

    // `signature`: this client's SIGNATURE text, sent when the server asks for it (once a connection).
    explicit TelnetCodec(QByteArray signature = QByteArrayLiteral("ValtronaAmp+ panel"));

    // Starts a new connection: forgets every state of the last one and returns the opening bytes.
    QByteArray start();
    Decoded decode(QByteArrayView bytes);
    QByteArray encode(QByteArrayView data) const;

    // Whether binary transmission is in effect, as far as this end knows: toward the server (our
    // WILL BINARY not refused: the server reads it before any data that follows it) and from it
    // (the server's WILL BINARY received).
    bool binaryToServer() const;
    bool binaryFromServer() const;
    // The server's DO COM-PORT-OPTION received (and not withdrawn).
    bool comPortAgreed() const;
    enum class SettingState { NotAsked, Asked, Confirmed, Rejected };
    SettingState settingState(Setting s) const { return m_settings[size_t(s)].state; }
    // Subnegotiations dropped as too long or cut short, since start().
    int droppedSubnegotiations() const { return m_dropped; }
    // Bytes of a subnegotiation not yet complete, held between calls: never above
    // kMaxSubnegotiation (a command cut short is held in the parser's state, not as bytes).
    qsizetype heldBytes() const { return m_sb.size(); }

    static QString settingName(Setting s);

private:
    // One side of one option, after RFC 1143's states. Refused: a request we answered with a
    // refusal, not answered again until the server asks for the opposite.
    enum class Side : uint8_t { No, Yes, WantYes, Refused };
    enum class Parse : uint8_t { Data, Iac, Verb, SbOption, Sb, SbIac, SbSkip, SbSkipIac };
    struct SettingCheck {
        SettingState state = SettingState::NotAsked;
        uint32_t asked = 0;
        int64_t lastReported = -1; // -1: malformed, or nothing reported yet
    };

    void negotiate(uint8_t verb, uint8_t option, Decoded &out);
    void subnegotiation(Decoded &out);
    void comPortAnswer(uint8_t code, QByteArrayView value, Decoded &out);
    void checkSetting(Setting s, bool wellFormed, uint32_t reported, Decoded &out);
    void command(uint8_t byte, Decoded &out);
    void dataByte(uint8_t byte, Decoded &out);
    void dropSubnegotiation(const QString &why, Decoded &out);
    static bool wanted(uint8_t option, bool ours);

    std::array<Side, 256> m_us {}; // our WILL/WONT side
    std::array<Side, 256> m_him {}; // the server's WILL/WONT side (our DO/DONT)
    std::array<SettingCheck, kSettings> m_settings {};
    Parse m_parse = Parse::Data;
    uint8_t m_verb = 0;
    uint8_t m_sbOption = 0;
    QByteArray m_sb;
    bool m_afterCr = false; // the last data byte was a CR outside binary mode
    bool m_signatureSent = false;
    int m_dropped = 0;
    QByteArray m_signature;
};
