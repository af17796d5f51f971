// The logo line rule and its byte conversion on arbitrary text: the input read as UTF-16 (lone
// surrogates included), then as Latin-1.
//
// Checked on every input: the rule always gives exactly 16 Latin-1 characters and leaves its own
// result unchanged; the line's characters are those of the text, one per character (a surrogate
// pair counting as one), "?" for those without a Latin-1 code, then blanks; the bytes of a text
// are one per character with "?" in the same places and a blank for 0x01 and 0x02 (the frame's own
// bytes), never a 0x01 or 0x02 among them; and a Latin-1 text converts as Latin-1 but for those two.
#include "config/logo_line.h"
#include "fuzz_check.h"

#include <QList>

#include <cstdint>
#include <cstring>

namespace {

// A character's byte on the wire: "?" without a Latin-1 code, a blank for the frame's own bytes.
uchar wireByte(char32_t c)
{
    if (c > 0xFF)
        return uchar('?');
    return c == 0x01 || c == 0x02 ? uchar(logo_line::kFrameByteReplacement) : uchar(c);
}

// Latin-1 text as it goes on the wire.
QByteArray onTheWire(const QString &latin1)
{
    QByteArray bytes = latin1.toLatin1();
    for (char &b : bytes)
        b = char(wireByte(uchar(b)));
    return bytes;
}

// The text's characters as code points, a well-formed surrogate pair as one.
QList<char32_t> characters(const QString &text)
{
    QList<char32_t> out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            out.append(QChar::surrogateToUcs4(c, text.at(i + 1)));
            ++i;
        } else {
            out.append(c.unicode());
        }
    }
    return out;
}

void check(const QString &text)
{
    const QList<char32_t> chars = characters(text);
    const QString line = logo_line::applyRule(text);
    FUZZ_CHECK(line.size() == logo_line::kLength);
    FUZZ_CHECK(logo_line::isLatin1(line));
    FUZZ_CHECK(logo_line::applyRule(line) == line);
    for (int i = 0; i < logo_line::kLength; ++i) {
        const char16_t expected = i < chars.size() ? (chars[i] <= 0xFF ? char16_t(chars[i]) : u'?') : u' ';
        FUZZ_CHECK(line.at(i).unicode() == expected);
    }

    const QByteArray lineBytes = logo_line::toBytes(line);
    FUZZ_CHECK(lineBytes.size() == logo_line::kLength);
    FUZZ_CHECK(lineBytes == onTheWire(line));

    const QByteArray bytes = logo_line::toBytes(text);
    FUZZ_CHECK(bytes.size() == chars.size());
    for (qsizetype i = 0; i < chars.size(); ++i)
        FUZZ_CHECK(uchar(bytes[i]) == wireByte(chars[i]));
    FUZZ_CHECK(!bytes.contains('\x01') && !bytes.contains('\x02'));

    bool latin1 = true;
    for (const QChar c : text)
        latin1 = latin1 && c.unicode() <= 0xFF;
    FUZZ_CHECK(logo_line::isLatin1(text) == latin1);
    if (latin1) {
        FUZZ_CHECK(bytes == onTheWire(text));
        FUZZ_CHECK(line == text.left(logo_line::kLength).leftJustified(logo_line::kLength, u' '));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QString utf16(qsizetype(size / 2), Qt::Uninitialized);
    std::memcpy(utf16.data(), data, (size / 2) * 2);
    check(utf16);
    check(QString::fromLatin1(reinterpret_cast<const char *>(data), qsizetype(size)));
    return 0;
}
