#pragma once

#include <QString>
#include <QStringList>
#include <QStringView>

class QTextStream;

// Comma-separated text with RFC 4180 quoting: a field holding a comma, a double quote, a CR or an LF
// is put in double quotes with its own double quotes doubled. Rows end with LF, as text files and
// the tools that read them on this system expect.
namespace csv {

constexpr const char *kLineEnd = "\n";

// A text received from the wire or the store, for a text column: one that starts with "=", "+",
// "-", "@", a tab or a carriage return gets a "'" before it, so that a spreadsheet takes it as the
// text it is and never as a formula. Numbers and times are written as they are, never through this.
QString text(const QString &received);

// One field, quoted when it has to be.
QString field(QStringView text);

// One row: the fields, separated by commas, and the line end.
void writeRow(QTextStream &out, const QStringList &fields);

} // namespace csv
