#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// The commands the transmitter understands, as the simulator tells them apart on the wire.
namespace sim {

enum class Command { FM, FO, FAS, FAT, FAU, FAC, FAA, FW, FL1, FL2, FLS };

const char *commandName(Command c);
int commandLeadLength(Command c); // 1 for FM and FW, 2 for the others
int commandValueLength(Command c); // 16 for FL1 and FL2, 1 for the others

// A run of bytes as it arrived in one read, tagged with the read's arrival time.
struct Piece {
    double time = 0;
    QByteArray bytes;
};

// One result of decoding: a complete frame, or bytes that could not be one (with the reason).
struct Decoded {
    bool ok = false;
    Command command = Command::FM;
    QByteArray value; // the value bytes of a frame
    QByteArray raw; // every byte the result covers, in wire order
    QList<Piece> pieces; // `raw` split by the reads that delivered it
    QString error; // why the bytes are not a frame
};

// Turns the byte stream written by the panel into frames: 00 (once for FM and FW, twice for the
// others), the letters, 01, the value (1 byte, 16 for a logo line), 02. It is fed arbitrary bytes
// in arbitrary chunks and keeps no limit on the stream's length; anything that breaks the layout
// is reported once as malformed and decoding starts over at the next 00. Extra 00 bytes in front
// of a frame are reported on their own and the frame is still taken.
class FrameDecoder
{
public:
    // Bytes outside any frame are reported as one malformed run when the next frame starts, or
    // once this many have gathered.
    static constexpr int kMaxStray = 64;

    // Decodes `bytes`; `time` tags the pieces of the results (the arrival time of the read).
    QList<Decoded> feed(const QByteArray &bytes, double time = 0);

    // Gives up on the frame in progress (the sender went quiet inside it): returns it as a
    // malformed result, or nothing when no bytes are pending.
    QList<Decoded> abandon(const QString &why);

    // True while bytes of an unfinished frame (or stray bytes) are held.
    bool pending() const { return !m_raw.isEmpty(); }

private:
    enum class State { Idle, Lead, Letters, Value, End };

    void take(char byte, double time);
    void startLead(char byte, double time);
    void finishFrame(QList<Decoded> &out);
    void fail(const QString &why, QList<Decoded> &out);
    void flushStray(QList<Decoded> &out);
    Decoded takeFront(int count, const QString &why);
    void reset();

    State m_state = State::Idle;
    int m_leads = 0;
    QByteArray m_letters;
    Command m_command = Command::FM;
    QByteArray m_value;
    QByteArray m_raw;
    QList<Piece> m_pieces;
    bool m_newRead = true; // the next byte taken starts a new piece
};

} // namespace sim
