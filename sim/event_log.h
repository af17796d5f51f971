#pragma once

#include <QFile>
#include <QJsonObject>
#include <QString>

namespace sim {

// The simulator's record of what happened on the line, one JSON object a line, each with its
// monotonic time "t" in milliseconds, flushed at once so a test can read it while the simulator runs.
class EventLog
{
public:
    bool open(const QString &path, QString *error);
    bool isOpen() const { return m_file.isOpen(); }

    // Writes `record`; "t" is set to now unless the record has its own.
    void write(QJsonObject record);

private:
    QFile m_file;
};

} // namespace sim
