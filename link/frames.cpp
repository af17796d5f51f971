#include "link/frames.h"

namespace frames {

namespace {

constexpr char kStartOfValue = 0x01;
constexpr char kEndOfFrame = 0x02;
constexpr int kLogoLength = 16;
constexpr int kLogoPiece = 4;

Frame head(Command c)
{
    Frame f;
    f.command = c;
    f.lead = QByteArray(leadLength(c), '\0');
    f.letters = QByteArray(letters(c));
    f.start = QByteArray(1, kStartOfValue);
    f.end = QByteArray(1, kEndOfFrame);
    return f;
}

} // namespace

const char *letters(Command c)
{
    switch (c) {
    case Command::FM:
        return "FM";
    case Command::FO:
        return "FO";
    case Command::FAS:
        return "FAS";
    case Command::FAT:
        return "FAT";
    case Command::FAU:
        return "FAU";
    case Command::FAC:
        return "FAC";
    case Command::FAA:
        return "FAA";
    case Command::FW:
        return "FW";
    case Command::FL1:
        return "FL1";
    case Command::FL2:
        return "FL2";
    case Command::FLS:
        return "FLS";
    }
    return "";
}

int leadLength(Command c)
{
    return (c == Command::FM || c == Command::FW) ? 1 : 2;
}

Fields Frame::fields() const
{
    Fields out { lead, letters, start };
    out += value;
    out.append(end);
    return out;
}

Frame frame(Command c, char value)
{
    Frame f = head(c);
    f.value.append(QByteArray(1, value));
    return f;
}

Frame logoFrame(Command c, const QByteArray &line)
{
    Frame f = head(c);
    const QByteArray sent = line.left(kLogoLength);
    for (int from = 0; from < sent.size(); from += kLogoPiece)
        f.value.append(sent.mid(from, kLogoPiece));
    return f;
}

Frame statusRequest()
{
    return frame(Command::FM, ' ');
}

Frame storeSettings()
{
    return frame(Command::FW, '0');
}

Frame storeLogo()
{
    return frame(Command::FLS, '0');
}

QByteArray joined(const Fields &fields)
{
    QByteArray bytes;
    for (const QByteArray &field : fields)
        bytes += field;
    return bytes;
}

} // namespace frames
