#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTimer>

class TransmitterLink;

// The writes of a link as the program makes them, each with the moment its call returned and the
// number of ticks of a 2 ms timer before it, counted from the log's creation. Writes made in one go
// (in one step of the event loop) have no tick between them. A pause the program waits out on a
// timer of more than a tick lets at least one tick in, however busy the machine: the tick, armed
// earlier, falls due first, and Qt fires due timers in the order they fall due. A write is logged
// before its call returns, so a pause counted from the return of a write never ends sooner than its
// length after the logged moment. Times are monotonicMs().
class WireLog : public QObject
{
    Q_OBJECT
public:
    struct Write {
        QByteArray bytes;
        double atMs = 0;
        qint64 ticks = 0; // ticks before it
    };
    // A run of writes: writes()[first] up to, not including, writes()[end].
    struct Span {
        qsizetype first = 0;
        qsizetype end = 0;
    };

    explicit WireLog(const TransmitterLink &link, QObject *parent = nullptr);

    const QList<Write> &writes() const { return m_writes; }
    qint64 ticks() const { return m_ticks; }
    // The bytes of the writes from index `from` on, joined.
    QByteArray bytes(qsizetype from = 0) const;
    // The first place, from index `from` on, where writes follow one another with the bytes of
    // `parts`, each part made of whole writes: the span of each part. Empty when there is none.
    QList<Span> find(const QList<QByteArray> &parts, qsizetype from = 0) const;

private:
    QTimer m_tick;
    QList<Write> m_writes;
    qint64 m_ticks = 0;
};
