#pragma once

#include <QByteArray>
#include <QString>

// The rule that keeps a logo line at exactly 16 characters, and its conversion to the bytes the
// transmitter receives (one Latin-1 byte per character).
//
// The bytes 0x01 and 0x02 start and end a frame's value, and the line goes out inside a frame: a
// line that holds them (a store edited by hand can) would end its frame early and leave the rest
// to be read as the start of another. They are sent as blanks. Every other byte, 0x00, 0x0D and
// 0xFF included, goes out as it is: the transmitter may give any of them a meaning. The stored line
// is not changed, nor is the edit boxes' rule, which keeps control characters as they are.
namespace logo_line {

constexpr int kLength = 16;
constexpr char16_t kReplacement = u'?';

// The first 16 characters, padded with blanks to 16; an empty text becomes 16 blanks. Characters
// without a Latin-1 code are replaced by "?".
QString applyRule(const QString &text);

// True when every character has a Latin-1 code.
bool isLatin1(const QString &text);

// The blank that a frame's own bytes in a line are sent as.
constexpr char kFrameByteReplacement = ' ';

// One byte per character; a character without a Latin-1 code becomes "?", and 0x01 and 0x02 (the
// frame's start of value and end) become blanks.
QByteArray toBytes(const QString &line);

} // namespace logo_line
