#pragma once

#include <QString>

// Which device "COM n" stands for. The map lives in the store's group "Ports", keys COM1 ... COM8,
// each a device path that the operator may edit (any device, /dev/serial/by-id/... included).
namespace port_map {

constexpr int kFirstPort = 1;
constexpr int kLastPort = 8;

// The built-in map: COM1-COM4 /dev/ttyS0-3, COM5-COM6 /dev/ttyUSB0-1, COM7-COM8 /dev/ttyACM0-1
// (on Windows "COMn").
QString defaultDevice(int port);

// The device of `port` from the store, or its default; empty for a number outside 1 to 8. An
// address (tcp://HOST:PORT, ...: see link/port_entry.h) is returned as it is stored.
QString devicePath(int port);

// The entry of `port` as the operator may be shown it (an address without its options).
QString shownEntry(int port);

// Writes the map keys the store does not hold yet with their defaults, so that the operator can
// see and edit them. Returns false when the store could not be written.
bool writeMissingDefaults();

// Puts `device` behind `port`: the group's eight keys are written at once, the others as the store
// holds them (their defaults where absent), and nothing else of the store, durably as every save.
// False for a number outside 1 to 8 or an empty device, and when the store could not be written
// (the store's saveFailed tells the operator).
bool assignDevice(int port, const QString &device);

} // namespace port_map
