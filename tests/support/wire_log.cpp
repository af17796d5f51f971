#include "support/wire_log.h"

#include "link/transmitter_link.h"
#include "support/clocks.h"

WireLog::WireLog(const TransmitterLink &link, QObject *parent)
    : QObject(parent)
{
    connect(&link, &TransmitterLink::written, this, [this](const QByteArray &bytes) {
        m_writes.append({ bytes, monotonicMs(), m_ticks });
    });
    m_tick.setTimerType(Qt::PreciseTimer);
    m_tick.setInterval(2);
    connect(&m_tick, &QTimer::timeout, this, [this] { ++m_ticks; });
    m_tick.start();
}

QByteArray WireLog::bytes(qsizetype from) const
{
    QByteArray out;
    for (qsizetype i = qMax<qsizetype>(from, 0); i < m_writes.size(); ++i)
        out += m_writes[i].bytes;
    return out;
}

QList<WireLog::Span> WireLog::find(const QList<QByteArray> &parts, qsizetype from) const
{
    for (qsizetype start = qMax<qsizetype>(from, 0); start < m_writes.size(); ++start) {
        QList<Span> spans;
        qsizetype at = start;
        for (const QByteArray &part : parts) {
            Span span { at, at };
            QByteArray joined;
            while (joined.size() < part.size() && at < m_writes.size())
                joined += m_writes[at++].bytes;
            if (joined != part)
                break;
            span.end = at;
            spans.append(span);
        }
        if (spans.size() == parts.size())
            return spans;
    }
    return {};
}
