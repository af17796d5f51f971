#include "config/runner.h"

#include "link/transmitter_link.h"

#include <algorithm>

namespace {
const QString kFallbackFailure = QStringLiteral("The transmitter link failed; the download was stopped");
}

ScriptRunner::ScriptRunner(TransmitterLink &link, QObject *parent)
    : QObject(parent)
{
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        // The next pause is counted from here when nothing is written in between.
        m_sinceWrite.start();
        runSteps();
    });
    setLink(link);
}

void ScriptRunner::setLink(TransmitterLink &link)
{
    disconnect(m_failedConnection);
    m_link = &link;
    m_failedConnection
        = connect(m_link, &TransmitterLink::failed, this, [this](LinkFailure kind, const QString &text) {
              // A line setting a device server refused is told, but the line still carries the bytes.
              if (m_running && kind != LinkFailure::SettingRejected)
                  abort(text);
          });
}

bool ScriptRunner::start(const scripts::Script &script)
{
    if (m_running)
        return false;
    m_script = script;
    m_next = 0;
    m_running = true;
    ++m_generation;
    m_sinceWrite.start();
    emit runningChanged(true);
    runSteps();
    return true;
}

// Carries out steps until a pause arms the timer, the script ends, or a failure stops it. Every
// signal may run code that stops this script (or starts another), so the loop checks after each.
void ScriptRunner::runSteps()
{
    const quint64 generation = m_generation;
    const auto stillOurs = [&] { return m_running && m_generation == generation; };

    while (stillOurs() && m_next < m_script.size()) {
        const scripts::Step step = m_script.at(m_next++);
        switch (step.kind) {
        case scripts::Step::Write: {
            const bool ok = m_link->write(step.bytes);
            m_sinceWrite.start();
            if (!ok && stillOurs())
                abort(m_link->lastErrorText());
            break;
        }
        case scripts::Step::Progress:
            emit progress(step.text, step.value);
            break;
        case scripts::Step::Pause: {
            const qint64 left = std::max<qint64>(0, step.ms - m_sinceWrite.elapsed());
            m_timer.start(int(left));
            return;
        }
        }
    }
    if (stillOurs())
        stop();
}

void ScriptRunner::stop()
{
    m_timer.stop();
    m_running = false;
    m_script.clear();
    m_next = 0;
    emit runningChanged(false);
    emit finished();
}

void ScriptRunner::abort(const QString &linkText)
{
    const QString text = linkText.isEmpty() ? kFallbackFailure : linkText;
    m_timer.stop();
    m_running = false;
    m_script.clear();
    m_next = 0;
    emit progress(text, 0);
    emit runningChanged(false);
    emit failed(text);
}
