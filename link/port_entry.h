#pragma once

#include <QString>
#include <optional>

// What a port map entry names: a local device path, or a serial line behind a device server on the
// network. A network entry is SCHEME://HOST:PORT[?OPTIONS] with the schemes
//   tcp://          raw TCP (a device server in TCP-server mode)
//   rfc2217://      Telnet with the Com Port Control option
//   tcp+tls://      raw TCP inside TLS
//   rfc2217+tls://  RFC 2217 inside TLS
// HOST is a name, an IPv4 address or an IPv6 address in brackets; PORT is 1 to 65535. The TLS
// schemes take the options ca=FILE (the authority that signs the server's certificate, in place of
// the system's) and cert=FILE&key=FILE (a client certificate, both or neither), percent-encoded.
struct PortEntry {
    enum class Kind { Device, Tcp, Rfc2217 };

    Kind kind = Kind::Device;
    bool tls = false;
    QString device; // Device: the path
    QString host; // network: the name or the address, without brackets
    quint16 port = 0; // network: the TCP port
    QString caFile; // TLS: empty for the system's authorities
    QString certFile; // TLS: the client certificate, empty for none
    QString keyFile; // TLS: its key

    bool isNetwork() const { return kind != Kind::Device; }
    // The entry as the operator is shown it: the device path, or SCHEME://HOST:PORT with no options
    // (file names, and whatever else an entry may carry, stay out of every text and label).
    QString shown() const;

    bool operator==(const PortEntry &other) const;
};

namespace port_entry {

// Whether `entry` is meant as a network address (it has a scheme), parsed or not.
bool looksNetwork(const QString &entry);

// The entry, or nothing when a network entry does not parse (a port that does not exist). Any
// entry without a scheme is a device path, the empty one included.
std::optional<PortEntry> parse(const QString &entry);

// What may be shown of `entry`, parsed or not: a device path as it is; a network entry that parses
// as PortEntry::shown(); one that does not as its scheme and host part only, up to the first '?',
// '#' or '/' after the scheme, and after the last '@' before that.
QString shown(const QString &entry);

} // namespace port_entry
