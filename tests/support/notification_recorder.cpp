#include "support/notification_recorder.h"

#include "support/sim_process.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>

NotificationRecorder::NotificationRecorder() = default;

NotificationRecorder::~NotificationRecorder()
{
    stop();
}

bool NotificationRecorder::onPrivateBus()
{
    return qEnvironmentVariable("PANEL_PRIVATE_SESSION_BUS") == QLatin1String("1")
        && !qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS");
}

bool NotificationRecorder::start(int timeoutMs, Answers answers)
{
    if (!onPrivateBus()) {
        m_error = QStringLiteral("not on a private session bus: run the test through ctest, or as "
                                 "dbus-run-session -- env PANEL_PRIVATE_SESSION_BUS=1 <test>");
        return false;
    }
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary folder");
        return false;
    }
    m_process.setProgram(QStringLiteral(VALTRONA_PYTHON3));
    QStringList arguments { QStringLiteral(VALTRONA_NOTIFICATION_RECORDER) };
    if (answers == Answers::Never)
        arguments << QStringLiteral("--silent");
    arguments << m_dir.filePath(QStringLiteral("calls.jsonl"));
    m_process.setArguments(arguments);
    m_process.start();
    if (!m_process.waitForStarted(timeoutMs)) {
        m_error = m_process.errorString();
        return false;
    }
    QByteArray out;
    QElapsedTimer timer;
    timer.start();
    while (
        !out.contains("ready\n") && m_process.state() == QProcess::Running && timer.elapsed() < timeoutMs) {
        m_process.waitForReadyRead(100);
        out += m_process.readAllStandardOutput();
    }
    if (!out.contains("ready\n")) {
        m_error = QStringLiteral("the recorder did not come up: %1")
                      .arg(QString::fromLocal8Bit(m_process.readAllStandardError()));
        stop();
        return false;
    }
    return true;
}

void NotificationRecorder::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

QList<QJsonObject> NotificationRecorder::calls() const
{
    QList<QJsonObject> calls;
    QFile file(m_dir.filePath(QStringLiteral("calls.jsonl")));
    if (!file.open(QIODevice::ReadOnly))
        return calls;
    QList<QByteArray> lines = file.readAll().split('\n');
    lines.removeLast(); // empty, or a line still being written
    for (const QByteArray &line : lines)
        calls.append(QJsonDocument::fromJson(line).object());
    return calls;
}

bool NotificationRecorder::waitForCalls(int count, int timeoutMs) const
{
    return waitUntil([this, count] { return calls().size() >= count; }, timeoutMs);
}
