#include "link/telnet_codec.h"

namespace {

// RFC 2217's COM-PORT-OPTION commands, client to server; the server's answers are these + 100.
enum : uint8_t {
    Signature = 0,
    SetBaudRate = 1,
    SetDataSize = 2,
    SetParity = 3,
    SetStopSize = 4,
    SetControl = 5,
    NotifyLineState = 6,
    NotifyModemState = 7,
    FlowControlSuspend = 8,
    FlowControlResume = 9,
};
constexpr uint8_t kServerAnswer = 100;
constexpr char kCr = '\r';

void append(QByteArray &out, std::initializer_list<uint8_t> bytes)
{
    for (uint8_t b : bytes)
        out.append(char(b));
}

// IAC SB COM-PORT-OPTION <code> <value, 0xFF doubled> IAC SE
void appendComPortCommand(QByteArray &out, uint8_t code, QByteArrayView value)
{
    append(out, { TelnetCodec::IAC, TelnetCodec::SB, TelnetCodec::OptionComPort, code });
    for (char c : value) {
        out.append(c);
        if (uint8_t(c) == TelnetCodec::IAC)
            out.append(c);
    }
    append(out, { TelnetCodec::IAC, TelnetCodec::SE });
}

QString optionName(int option)
{
    return option == TelnetCodec::OptionComPort ? QStringLiteral("COM-PORT-OPTION")
                                                : QStringLiteral("binary transmission");
}

QString settingValueText(TelnetCodec::Setting s, uint32_t value)
{
    using S = TelnetCodec::Setting;
    auto pick = [value](std::initializer_list<std::pair<uint32_t, const char *>> names) {
        for (const auto &n : names)
            if (n.first == value)
                return QString::fromLatin1(n.second);
        return QStringLiteral("code %1").arg(value);
    };
    switch (s) {
    case S::BaudRate:
    case S::DataSize:
        return QString::number(value);
    case S::Parity:
        return pick({ { 1, "none" }, { 2, "odd" }, { 3, "even" }, { 4, "mark" }, { 5, "space" } });
    case S::StopSize:
        return pick({ { 1, "1" }, { 2, "2" }, { 3, "1.5" } });
    case S::FlowControl:
        return pick({ { 1, "none" }, { 2, "XON/XOFF" }, { 3, "hardware" }, { 17, "DCD" }, { 19, "DSR" } });
    case S::Dtr:
        return pick({ { 8, "on" }, { 9, "off" } });
    case S::Rts:
        return pick({ { 11, "on" }, { 12, "off" } });
    }
    return QString::number(value);
}

// Which setting a SET-CONTROL answer reports on, by the group its value belongs to; -1 for the
// groups not asked for (BREAK, inbound flow control).
int controlSetting(uint8_t value)
{
    using S = TelnetCodec::Setting;
    if (value <= 3 || value == 17 || value == 19)
        return int(S::FlowControl);
    if (value >= 7 && value <= 9)
        return int(S::Dtr);
    if (value >= 10 && value <= 12)
        return int(S::Rts);
    return -1;
}

} // namespace

TelnetCodec::TelnetCodec(QByteArray signature)
    : m_signature(std::move(signature))
{
    m_sb.reserve(kMaxSubnegotiation);
}

QString TelnetCodec::settingName(Setting s)
{
    switch (s) {
    case Setting::BaudRate:
        return QStringLiteral("the baud rate");
    case Setting::DataSize:
        return QStringLiteral("the data bits");
    case Setting::Parity:
        return QStringLiteral("the parity");
    case Setting::StopSize:
        return QStringLiteral("the stop bits");
    case Setting::FlowControl:
        return QStringLiteral("the flow control");
    case Setting::Dtr:
        return QStringLiteral("DTR");
    case Setting::Rts:
        return QStringLiteral("RTS");
    }
    return {};
}

QByteArray TelnetCodec::start()
{
    m_us.fill(Side::No);
    m_him.fill(Side::No);
    m_settings = {};
    m_parse = Parse::Data;
    m_sb.clear();
    m_afterCr = false;
    m_signatureSent = false;
    m_dropped = 0;

    QByteArray out;
    append(out, { IAC, WILL, OptionBinary, IAC, DO, OptionBinary, IAC, WILL, OptionComPort });
    m_us[OptionBinary] = Side::WantYes;
    m_him[OptionBinary] = Side::WantYes;
    m_us[OptionComPort] = Side::WantYes;

    // The settings go out at once, in the order RFC 2217 recommends (baud rate, data size, parity,
    // stop size), then the control lines. Flow control is switched off before DTR and RTS: that is
    // what a local port is opened with, and while a server's port has hardware flow control, RTS
    // belongs to the flow control and a request to raise it is not the client's to make.
    const auto ask = [&](Setting s, uint8_t code, uint32_t value) {
        m_settings[size_t(s)].state = SettingState::Asked;
        m_settings[size_t(s)].asked = value;
        if (code == SetBaudRate) {
            const char be[4] = { char(value >> 24), char(value >> 16), char(value >> 8), char(value) };
            appendComPortCommand(out, code, QByteArrayView(be, 4));
        } else {
            const char one = char(value);
            appendComPortCommand(out, code, QByteArrayView(&one, 1));
        }
    };
    ask(Setting::BaudRate, SetBaudRate, kBaudRate);
    ask(Setting::DataSize, SetDataSize, kDataSize);
    ask(Setting::Parity, SetParity, kParityNone);
    ask(Setting::StopSize, SetStopSize, kStopSizeOne);
    ask(Setting::FlowControl, SetControl, kControlNoFlowControl);
    ask(Setting::Dtr, SetControl, kControlDtrOn);
    ask(Setting::Rts, SetControl, kControlRtsOn);
    return out;
}

bool TelnetCodec::binaryToServer() const
{
    return m_us[OptionBinary] == Side::Yes || m_us[OptionBinary] == Side::WantYes;
}

bool TelnetCodec::binaryFromServer() const
{
    return m_him[OptionBinary] == Side::Yes;
}

bool TelnetCodec::comPortAgreed() const
{
    return m_us[OptionComPort] == Side::Yes;
}

QByteArray TelnetCodec::encode(QByteArrayView data) const
{
    // Outside binary mode a CR goes as CR NUL (RFC 854), which the server turns back into the CR.
    const bool nvt = !binaryToServer();
    QByteArray out;
    out.reserve(data.size() + data.size() / 16 + 8);
    for (char c : data) {
        out.append(c);
        if (uint8_t(c) == IAC)
            out.append(c);
        else if (nvt && c == kCr)
            out.append('\0');
    }
    return out;
}

TelnetCodec::Decoded TelnetCodec::decode(QByteArrayView bytes)
{
    Decoded out;
    out.data.reserve(bytes.size());
    for (char c : bytes) {
        const uint8_t b = uint8_t(c);
        switch (m_parse) {
        case Parse::Data:
            if (b == IAC)
                m_parse = Parse::Iac;
            else
                dataByte(b, out);
            break;
        case Parse::Iac:
            command(b, out);
            break;
        case Parse::Verb:
            m_parse = Parse::Data;
            negotiate(m_verb, b, out);
            break;
        case Parse::SbOption:
            // IAC SB IAC: a subnegotiation without an option byte (IAC SB IAC SE) or of option
            // 255 (IAC SB IAC IAC ...); either way nothing here.
            m_sbOption = b;
            m_sb.clear();
            m_parse = b == IAC ? Parse::SbIac : Parse::Sb;
            break;
        case Parse::Sb:
        case Parse::SbIac:
            if (m_parse == Parse::Sb && b == IAC) {
                m_parse = Parse::SbIac;
            } else if (m_parse == Parse::SbIac && b == SE) {
                m_parse = Parse::Data;
                subnegotiation(out);
                m_sb.clear();
            } else if (m_parse == Parse::SbIac && b != IAC) {
                // Another command inside a subnegotiation: the subnegotiation was cut short.
                dropSubnegotiation(
                    QStringLiteral("A subnegotiation from the server was cut short by a command"), out);
                command(b, out);
            } else if (m_sb.size() >= kMaxSubnegotiation) {
                dropSubnegotiation(QStringLiteral("A subnegotiation from the server ran past %1 bytes")
                                       .arg(kMaxSubnegotiation),
                    out);
                m_parse = Parse::SbSkip;
            } else {
                m_sb.append(char(b));
                m_parse = Parse::Sb;
            }
            break;
        case Parse::SbSkip:
            if (b == IAC)
                m_parse = Parse::SbSkipIac;
            break;
        case Parse::SbSkipIac:
            if (b == SE)
                m_parse = Parse::Data;
            else if (b == IAC)
                m_parse = Parse::SbSkip;
            else
                command(b, out);
            break;
        }
    }
    return out;
}

void TelnetCodec::dataByte(uint8_t b, Decoded &out)
{
    if (!binaryFromServer()) {
        // Outside binary mode the server sends a bare CR as CR NUL.
        if (m_afterCr && b == 0) {
            m_afterCr = false;
            return;
        }
        m_afterCr = b == uint8_t(kCr);
    } else {
        m_afterCr = false;
    }
    out.data.append(char(b));
}

// The byte after an IAC outside a subnegotiation.
void TelnetCodec::command(uint8_t b, Decoded &out)
{
    switch (b) {
    case IAC:
        m_parse = Parse::Data;
        dataByte(IAC, out);
        break;
    case WILL:
    case WONT:
    case DO:
    case DONT:
        m_verb = b;
        m_parse = Parse::Verb;
        break;
    case SB:
        m_parse = Parse::SbOption;
        break;
    default:
        // NOP, GA, AYT, a stray SE and the rest carry nothing for a serial line.
        m_parse = Parse::Data;
        break;
    }
}

bool TelnetCodec::wanted(uint8_t option, bool ours)
{
    return option == OptionBinary || (ours && option == OptionComPort);
}

void TelnetCodec::negotiate(uint8_t verb, uint8_t option, Decoded &out)
{
    // DO/DONT are about our side (we answer WILL/WONT), WILL/WONT about the server's (DO/DONT).
    const bool ours = verb == DO || verb == DONT;
    const bool enable = verb == DO || verb == WILL;
    Side &side = ours ? m_us[option] : m_him[option];
    const uint8_t yes = ours ? WILL : DO;
    const uint8_t no = ours ? WONT : DONT;
    const bool known = wanted(option, ours);
    const auto event = [&](Event::Kind kind) {
        Event e;
        e.kind = kind;
        e.option = option;
        e.toServer = ours;
        const QString what = option == OptionBinary ? (ours ? QStringLiteral("binary transmission toward it")
                                                            : QStringLiteral("binary transmission from it"))
                                                    : optionName(option);
        e.text = kind == Event::Kind::OptionAgreed ? QStringLiteral("The server agreed to %1").arg(what)
                                                   : QStringLiteral("The server refused %1").arg(what);
        out.events.append(e);
    };

    if (enable) {
        switch (side) {
        case Side::No:
            if (known) {
                side = Side::Yes;
                append(out.reply, { IAC, yes, option });
                event(Event::Kind::OptionAgreed);
            } else {
                side = Side::Refused;
                append(out.reply, { IAC, no, option });
            }
            break;
        case Side::WantYes:
            side = Side::Yes;
            event(Event::Kind::OptionAgreed);
            break;
        case Side::Yes:
        case Side::Refused:
            break; // already in effect, or already refused: no answer again
        }
    } else {
        switch (side) {
        case Side::No:
            break;
        case Side::Yes:
            side = Side::No;
            append(out.reply, { IAC, no, option });
            event(Event::Kind::OptionRefused);
            break;
        case Side::WantYes:
            side = Side::No;
            event(Event::Kind::OptionRefused);
            break;
        case Side::Refused:
            side = Side::No; // the server agrees it is off; a new request is answered again
            break;
        }
    }
}

void TelnetCodec::dropSubnegotiation(const QString &why, Decoded &out)
{
    ++m_dropped;
    m_sb.clear();
    Event e;
    e.kind = Event::Kind::SubnegotiationDropped;
    e.option = m_sbOption;
    e.text = why;
    out.events.append(e);
}

void TelnetCodec::subnegotiation(Decoded &out)
{
    if (m_sbOption != OptionComPort || m_sb.isEmpty())
        return; // nothing else is subnegotiated here
    comPortAnswer(uint8_t(m_sb[0]), QByteArrayView(m_sb).sliced(1), out);
}

void TelnetCodec::comPortAnswer(uint8_t code, QByteArrayView value, Decoded &out)
{
    const auto notify = [&](Event::Kind kind, uint32_t v, QString text) {
        Event e;
        e.kind = kind;
        e.option = OptionComPort;
        e.value = v;
        e.text = std::move(text);
        out.events.append(e);
    };
    const bool oneByte = value.size() == 1;
    const uint32_t first = value.isEmpty() ? 0 : uint8_t(value[0]);
    switch (code) {
    case kServerAnswer + Signature:
        if (!value.isEmpty()) {
            notify(Event::Kind::ServerSignature, 0, QString::fromLatin1(value));
        } else if (!m_signatureSent) {
            // An empty SIGNATURE asks for ours; told once a connection.
            m_signatureSent = true;
            appendComPortCommand(out.reply, Signature, m_signature);
        }
        break;
    case kServerAnswer + SetBaudRate: {
        uint32_t rate = 0;
        for (char c : value.first(qMin<qsizetype>(value.size(), 4)))
            rate = (rate << 8) | uint8_t(c);
        checkSetting(Setting::BaudRate, value.size() == 4, rate, out);
        break;
    }
    case kServerAnswer + SetDataSize:
        checkSetting(Setting::DataSize, oneByte, first, out);
        break;
    case kServerAnswer + SetParity:
        checkSetting(Setting::Parity, oneByte, first, out);
        break;
    case kServerAnswer + SetStopSize:
        checkSetting(Setting::StopSize, oneByte, first, out);
        break;
    case kServerAnswer + SetControl:
        if (oneByte) {
            const int s = controlSetting(uint8_t(first));
            if (s >= 0)
                checkSetting(Setting(s), true, first, out);
        }
        break;
    case kServerAnswer + NotifyLineState:
        if (oneByte)
            notify(Event::Kind::LineState, first,
                QStringLiteral("Line state 0x%1").arg(first, 2, 16, QLatin1Char('0')));
        break;
    case kServerAnswer + NotifyModemState:
        if (oneByte)
            notify(Event::Kind::ModemState, first,
                QStringLiteral("Modem state 0x%1").arg(first, 2, 16, QLatin1Char('0')));
        break;
    case kServerAnswer + FlowControlSuspend:
        notify(Event::Kind::FlowSuspended, 0, QStringLiteral("The server asks for a pause in sending"));
        break;
    case kServerAnswer + FlowControlResume:
        notify(Event::Kind::FlowResumed, 0, QStringLiteral("The server asks for sending to resume"));
        break;
    default:
        break; // answers to commands not sent here (masks, purge), or codes not known
    }
}

void TelnetCodec::checkSetting(Setting s, bool wellFormed, uint32_t reported, Decoded &out)
{
    SettingCheck &check = m_settings[size_t(s)];
    if (check.state == SettingState::NotAsked)
        return;
    Event e;
    e.kind = Event::Kind::SettingConfirmed;
    e.option = OptionComPort;
    e.setting = s;
    e.value = reported;
    if (wellFormed && reported == check.asked) {
        if (check.state == SettingState::Confirmed)
            return;
        check.state = SettingState::Confirmed;
        check.lastReported = reported;
        e.text = QStringLiteral("The server set %1 to %2").arg(settingName(s), settingValueText(s, reported));
    } else {
        const int64_t seen = wellFormed ? int64_t(reported) : -1;
        if (check.state == SettingState::Rejected && check.lastReported == seen)
            return; // told already
        check.state = SettingState::Rejected;
        check.lastReported = seen;
        e.kind = Event::Kind::SettingRejected;
        e.text = wellFormed
            ? QStringLiteral("The server set %1 to %2 in place of %3")
                  .arg(settingName(s), settingValueText(s, reported), settingValueText(s, check.asked))
            : QStringLiteral("The server answered %1 with a malformed value").arg(settingName(s));
    }
    out.events.append(e);
}
