#include "ui/plain_text.h"

#include <QTextDocument>

QString plainToolTip(const QString &text)
{
    if (!Qt::mightBeRichText(text))
        return text;
    QString escaped = text.toHtmlEscaped();
    escaped.replace(QLatin1Char('\n'), QLatin1String("<br>"));
    return QLatin1String("<qt><p style=\"white-space:pre\">") + escaped + QLatin1String("</p></qt>");
}
