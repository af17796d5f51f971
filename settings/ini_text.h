#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// The escaping of the store's INI text, kept byte-compatible with what QSettings writes and reads,
// so that the file stays readable by QSettings and by a person with a text editor.
namespace ini_text {

// A group or key name: letters, digits, '_', '-', '.' as they are, '/' as '\', others as %XX or
// %UXXXX ("ValtronaAmp+" becomes "ValtronaAmp%2B").
QByteArray escapedName(const QString &name);
QString unescapedName(QByteArrayView raw);

// Appends `text` as a value: UTF-8, '\' and '"' escaped, control characters as \n, \t, \0, \xHH...,
// a leading '@' doubled, and the whole in quotes when it holds ',', ';' or '=' or begins or ends
// with a blank.
void appendEscapedValue(const QString &text, QByteArray &out);

// The text of a value as written after '='. Reads what QSettings writes; for hand edits an
// unquoted ',' is kept as a comma (not a list separator) and an unknown escape such as "\p" is
// kept as typed.
QString unescapedValue(QByteArrayView raw);

} // namespace ini_text
