#include "config/logo_line.h"

namespace logo_line {

namespace {

// The text as Latin-1 characters, one per code point: a character without a Latin-1 code (a
// surrogate pair counts as one character) becomes the replacement.
QString latin1Characters(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
            ++i;
        out.append(c.unicode() <= 0xFF ? c : QChar(kReplacement));
    }
    return out;
}

} // namespace

QString applyRule(const QString &text)
{
    // Replaced first, then cut, so that a pair of UTF-16 units is never split at character 16.
    QString line = latin1Characters(text).left(kLength);
    return line.leftJustified(kLength, u' ');
}

bool isLatin1(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() > 0xFF)
            return false;
    }
    return true;
}

QByteArray toBytes(const QString &line)
{
    QByteArray bytes = latin1Characters(line).toLatin1();
    for (char &b : bytes) {
        if (b == '\x01' || b == '\x02')
            b = kFrameByteReplacement;
    }
    return bytes;
}

} // namespace logo_line
