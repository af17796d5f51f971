#include "history/csv.h"

#include <QTextStream>

namespace csv {

QString text(const QString &received)
{
    if (received.isEmpty())
        return received;
    const QChar first = received.front();
    if (first == u'=' || first == u'+' || first == u'-' || first == u'@' || first == u'\t' || first == u'\r')
        return QLatin1Char('\'') + received;
    return received;
}

QString field(QStringView text)
{
    const bool quote
        = text.contains(u',') || text.contains(u'"') || text.contains(u'\r') || text.contains(u'\n');
    if (!quote)
        return text.toString();
    QString quoted;
    quoted.reserve(text.size() + 2);
    quoted += u'"';
    for (QChar c : text) {
        if (c == u'"')
            quoted += u'"';
        quoted += c;
    }
    quoted += u'"';
    return quoted;
}

void writeRow(QTextStream &out, const QStringList &fields)
{
    for (qsizetype i = 0; i < fields.size(); ++i) {
        if (i > 0)
            out << ',';
        out << field(fields[i]);
    }
    out << kLineEnd;
}

} // namespace csv
