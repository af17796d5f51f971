#pragma once

#include <QString>
#include <QStringList>
#include <QStringView>

class QTextStream;

// Comma-separated text as RFC 4180 has it: rows end with CR LF, and a field holding a comma, a
// double quote, a CR or an LF is put in double quotes with its own double quotes doubled.
namespace csv {

constexpr const char *kLineEnd = "\r\n";

// One field, quoted when it has to be.
QString field(QStringView text);

// One row: the fields, separated by commas, and the line end.
void writeRow(QTextStream &out, const QStringList &fields);

} // namespace csv
