#pragma once

#include <QByteArray>
#include <QList>

// The byte layout of the transmitter's eleven commands. Pure functions, no I/O.
namespace frames {

using Fields = QList<QByteArray>;

enum class Command { FM, FO, FAS, FAT, FAU, FAC, FAA, FW, FL1, FL2, FLS };

const char *letters(Command c);
int leadLength(Command c); // 1 for FM and FW, 2 for the others

// One command frame in its parts: lead (00, or 00 00), the letters, 01, the value (one byte; a logo
// line in pieces of up to four characters), 02. The link is handed one write per part, so whoever
// writes a frame takes the parts by name, never by position.
struct Frame {
    Command command = Command::FM;
    QByteArray lead;
    QByteArray letters;
    QByteArray start;         // 01
    QList<QByteArray> value;  // one piece, or up to four pieces of a logo line
    QByteArray end;           // 02

    // The writes in wire order.
    Fields fields() const;
    operator Fields() const { return fields(); }
    bool operator==(const Fields &other) const { return fields() == other; }
};

// A command with a one-byte value (FM takes " ", FW and FLS take "0").
Frame frame(Command c, char value);

// FL1 / FL2: characters 1-4, 5-8, 9-12, 13-16 of `line` as the value's pieces (a piece is shorter
// or absent when the line is shorter; characters past 16 are never sent).
Frame logoFrame(Command c, const QByteArray &line);

Frame statusRequest();   // 00 46 4D 01 20 02
Frame storeSettings();   // 00 46 57 01 30 02
Frame storeLogo();       // 00 00 46 4C 53 01 30 02

QByteArray joined(const Fields &fields);

} // namespace frames
