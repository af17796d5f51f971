#include "link/frames.h"

namespace frames {

namespace {

constexpr char kStartOfValue = 0x01;
constexpr char kEndOfFrame = 0x02;
constexpr int kLogoLength = 16;
constexpr int kLogoPiece = 4;

Fields head(Command c)
{
    return { QByteArray(leadLength(c), '\0'), QByteArray(letters(c)), QByteArray(1, kStartOfValue) };
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

Fields frame(Command c, char value)
{
    Fields fields = head(c);
    fields.append(QByteArray(1, value));
    fields.append(QByteArray(1, kEndOfFrame));
    return fields;
}

Fields logoFrame(Command c, const QByteArray &line)
{
    Fields fields = head(c);
    const QByteArray sent = line.left(kLogoLength);
    for (int from = 0; from < sent.size(); from += kLogoPiece)
        fields.append(sent.mid(from, kLogoPiece));
    fields.append(QByteArray(1, kEndOfFrame));
    return fields;
}

Fields statusRequest()
{
    return frame(Command::FM, ' ');
}

Fields storeSettings()
{
    return frame(Command::FW, '0');
}

Fields storeLogo()
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
