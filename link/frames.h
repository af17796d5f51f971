#pragma once

#include <QByteArray>
#include <QList>

// The byte layout of the transmitter's eleven commands. A frame is returned as the fields the
// link is handed one write each, in wire order: lead (00, or 00 00), the letters, 01, the value
// (one byte; a logo line in four pieces of up to four characters), 02. Pure functions, no I/O.
namespace frames {

using Fields = QList<QByteArray>;

enum class Command { FM, FO, FAS, FAT, FAU, FAC, FAA, FW, FL1, FL2, FLS };

const char *letters(Command c);
int leadLength(Command c); // 1 for FM and FW, 2 for the others

// A command with a one-byte value (FM takes " ", FW and FLS take "0").
Fields frame(Command c, char value);

// FL1 / FL2: lead, letters, 01, then characters 1-4, 5-8, 9-12, 13-16 of `line` (a piece is
// shorter or absent when the line is shorter; characters past 16 are never sent), then 02.
Fields logoFrame(Command c, const QByteArray &line);

Fields statusRequest();   // 00 46 4D 01 20 02
Fields storeSettings();   // 00 46 57 01 30 02
Fields storeLogo();       // 00 00 46 4C 53 01 30 02

QByteArray joined(const Fields &fields);

} // namespace frames
