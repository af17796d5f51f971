#include "sim/event_log.h"

#include "sim/pty_endpoint.h"

#include <QJsonDocument>

namespace sim {

bool EventLog::open(const QString &path, QString *error)
{
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        if (error)
            *error = QStringLiteral("cannot write the log %1: %2").arg(path, m_file.errorString());
        return false;
    }
    return true;
}

void EventLog::write(QJsonObject record)
{
    if (!m_file.isOpen())
        return;
    if (!record.contains(QLatin1String("t")))
        record.insert(QStringLiteral("t"), monotonicMs());
    m_file.write(QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n');
    m_file.flush();
}

} // namespace sim
