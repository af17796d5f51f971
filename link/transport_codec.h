#pragma once

#include "link/port_entry.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <memory>

// What a network link's byte stream passes through between the socket and the panel. Raw TCP
// passes every byte as it is; Telnet with the Com Port Control option (RFC 2217) negotiates,
// escapes and unescapes here, so that the link itself stays the same for both.
class TransportCodec
{
public:
    virtual ~TransportCodec();

    // Bytes to send as soon as the connection is up (a negotiation), empty for none.
    virtual QByteArray greeting() { return {}; }
    // Bytes from the socket: the data for the panel; `reply` gets what is to go back at once.
    virtual QByteArray decode(const QByteArray &in, QByteArray &reply) = 0;
    // One write of the panel: the bytes for the socket, sent as one write.
    virtual QByteArray encode(const QByteArray &data) = 0;
    // What the server refused of what was asked since the last call (a line setting it set to
    // another value, the Com Port Control option turned down), as texts for the operator. The
    // connection goes on: the server still carries the bytes.
    virtual QStringList takeNotices() { return {}; }
};

// Raw TCP: the socket carries the serial line's bytes as they are.
class RawCodec final : public TransportCodec
{
public:
    QByteArray decode(const QByteArray &in, QByteArray &) override { return in; }
    QByteArray encode(const QByteArray &data) override { return data; }
};

namespace transport_codec {

// The codec for an entry's kind (raw for tcp://, Telnet for rfc2217://); null for a device path.
std::unique_ptr<TransportCodec> make(PortEntry::Kind kind);

} // namespace transport_codec
