#pragma once

#include <QByteArray>
#include <QString>

// The rule that keeps a logo line at exactly 16 characters, and its conversion to the bytes the
// transmitter receives (one Latin-1 byte per character).
namespace logo_line {

constexpr int kLength = 16;
constexpr char16_t kReplacement = u'?';

// The first 16 characters, padded with blanks to 16; an empty text becomes 16 blanks. Characters
// without a Latin-1 code are replaced by "?".
QString applyRule(const QString &text);

// True when every character has a Latin-1 code.
bool isLatin1(const QString &text);

// One byte per character; a character without a Latin-1 code becomes "?".
QByteArray toBytes(const QString &line);

} // namespace logo_line
