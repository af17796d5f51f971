#include "sim/frame_decoder.h"

#include <algorithm>
#include <array>

namespace sim {

namespace {

struct CommandInfo {
    Command command;
    const char *name;
    int lead;
    int valueLength;
};

constexpr std::array<CommandInfo, 11> kCommands { {
    { Command::FM, "FM", 1, 1 },
    { Command::FO, "FO", 2, 1 },
    { Command::FAS, "FAS", 2, 1 },
    { Command::FAT, "FAT", 2, 1 },
    { Command::FAU, "FAU", 2, 1 },
    { Command::FAC, "FAC", 2, 1 },
    { Command::FAA, "FAA", 2, 1 },
    { Command::FW, "FW", 1, 1 },
    { Command::FL1, "FL1", 2, 16 },
    { Command::FL2, "FL2", 2, 16 },
    { Command::FLS, "FLS", 2, 1 },
} };

const CommandInfo &info(Command c)
{
    return kCommands[static_cast<size_t>(c)];
}

const CommandInfo *byName(const QByteArray &letters)
{
    for (const CommandInfo &ci : kCommands) {
        if (letters == ci.name)
            return &ci;
    }
    return nullptr;
}

bool isPrefixOfName(const QByteArray &letters)
{
    for (const CommandInfo &ci : kCommands) {
        if (QByteArray(ci.name).startsWith(letters))
            return true;
    }
    return false;
}

bool isLogo(Command c)
{
    return c == Command::FL1 || c == Command::FL2;
}

QString printable(const QByteArray &letters)
{
    QString s;
    for (char ch : letters) {
        const auto u = static_cast<unsigned char>(ch);
        s += (u >= 0x20 && u < 0x7f) ? QString(QChar(u)) : QStringLiteral("\\x%1").arg(u, 2, 16, QChar('0'));
    }
    return s;
}

} // namespace

const char *commandName(Command c)
{
    return info(c).name;
}
int commandLeadLength(Command c)
{
    return info(c).lead;
}
int commandValueLength(Command c)
{
    return info(c).valueLength;
}

QList<Decoded> FrameDecoder::feed(const QByteArray &bytes, double time)
{
    QList<Decoded> out;
    m_newRead = true;
    for (char b : bytes) {
        const auto u = static_cast<unsigned char>(b);
        switch (m_state) {
        case State::Idle:
            if (u == 0x00) {
                flushStray(out);
                startLead(b, time);
            } else {
                take(b, time);
                if (m_raw.size() >= kMaxStray)
                    flushStray(out);
            }
            break;
        case State::Lead:
            if (u == 0x00) {
                take(b, time);
                // Zeros beyond the two a frame can use are extra; how many belong to the frame is
                // known at its letters. A long run is reported before it grows without bound.
                if (++m_leads > kMaxStray) {
                    out.append(takeFront(m_leads - 2, QStringLiteral("extra 00 before a frame")));
                    m_leads = 2;
                }
            } else if (b == 'F') {
                take(b, time);
                m_letters = QByteArray(1, b);
                m_state = State::Letters;
            } else {
                take(b, time);
                fail(QStringLiteral("no command letters after the 00 lead"), out);
            }
            break;
        case State::Letters:
            if (u == 0x01) {
                take(b, time);
                const CommandInfo *ci = byName(m_letters);
                if (!ci) {
                    fail(QStringLiteral("unknown command \"%1\"").arg(printable(m_letters)), out);
                } else if (ci->lead < m_leads) {
                    // Extra zeros in front: tell them apart and take the frame.
                    out.append(takeFront(m_leads - ci->lead,
                        QStringLiteral("extra 00 before %1").arg(QLatin1String(ci->name))));
                    m_leads = ci->lead;
                    m_command = ci->command;
                    m_value.clear();
                    m_state = State::Value;
                } else if (ci->lead != m_leads) {
                    fail(QStringLiteral("%1 with %2 lead byte(s), %3 expected")
                             .arg(QLatin1String(ci->name))
                             .arg(m_leads)
                             .arg(ci->lead),
                        out);
                } else {
                    m_command = ci->command;
                    m_value.clear();
                    m_state = State::Value;
                }
            } else if (u == 0x00) {
                fail(QStringLiteral("frame cut short after \"%1\"").arg(printable(m_letters)), out);
                startLead(b, time);
            } else if (isPrefixOfName(m_letters + b)) {
                take(b, time);
                m_letters += b;
            } else {
                take(b, time);
                fail(QStringLiteral("unknown command \"%1\"").arg(printable(m_letters + b)), out);
            }
            break;
        case State::Value:
            take(b, time);
            if (u == 0x02 && isLogo(m_command)) {
                // The panel sends a stored line that is shorter than 16 characters as it is.
                fail(QStringLiteral("%1 line of %2 characters, 16 expected")
                         .arg(QLatin1String(commandName(m_command)))
                         .arg(m_value.size()),
                    out);
                break;
            }
            m_value += b;
            if (m_value.size() == commandValueLength(m_command))
                m_state = State::End;
            break;
        case State::End:
            if (u == 0x02) {
                take(b, time);
                finishFrame(out);
            } else if (u == 0x00) {
                fail(QStringLiteral("%1 value not followed by 02").arg(QLatin1String(commandName(m_command))),
                    out);
                startLead(b, time);
            } else {
                take(b, time);
                fail(QStringLiteral("%1 value not followed by 02").arg(QLatin1String(commandName(m_command))),
                    out);
            }
            break;
        }
    }
    return out;
}

QList<Decoded> FrameDecoder::abandon(const QString &why)
{
    QList<Decoded> out;
    if (m_raw.isEmpty())
        return out;
    if (m_state == State::Idle)
        flushStray(out);
    else
        fail(why, out);
    return out;
}

void FrameDecoder::take(char byte, double time)
{
    m_raw += byte;
    if (m_newRead || m_pieces.isEmpty()) {
        m_pieces.append(Piece { time, QByteArray(1, byte) });
        m_newRead = false;
    } else {
        m_pieces.last().bytes += byte;
    }
}

void FrameDecoder::startLead(char byte, double time)
{
    take(byte, time);
    m_leads = 1;
    m_letters.clear();
    m_state = State::Lead;
}

void FrameDecoder::finishFrame(QList<Decoded> &out)
{
    Decoded d;
    d.ok = true;
    d.command = m_command;
    d.value = m_value;
    d.raw = m_raw;
    d.pieces = m_pieces;
    out.append(d);
    reset();
}

void FrameDecoder::fail(const QString &why, QList<Decoded> &out)
{
    Decoded d;
    d.raw = m_raw;
    d.pieces = m_pieces;
    d.error = why;
    out.append(d);
    reset();
}

Decoded FrameDecoder::takeFront(int count, const QString &why)
{
    Decoded d;
    d.error = why;
    d.raw = m_raw.left(count);
    m_raw.remove(0, count);
    while (count > 0 && !m_pieces.isEmpty()) {
        Piece &first = m_pieces.first();
        const int n = std::min<int>(count, first.bytes.size());
        d.pieces.append(Piece { first.time, first.bytes.left(n) });
        first.bytes.remove(0, n);
        if (first.bytes.isEmpty())
            m_pieces.removeFirst();
        count -= n;
    }
    return d;
}

void FrameDecoder::flushStray(QList<Decoded> &out)
{
    if (m_raw.isEmpty())
        return;
    fail(QStringLiteral("%1 stray bytes outside a frame").arg(m_raw.size()), out);
}

void FrameDecoder::reset()
{
    m_state = State::Idle;
    m_leads = 0;
    m_letters.clear();
    m_value.clear();
    m_raw.clear();
    m_pieces.clear();
    // The rest of the current read starts a new piece of the next result.
    m_newRead = true;
}

} // namespace sim
