#pragma once

#include "link/port_entry.h"

#include <QByteArray>
#include <QString>
#include <memory>

// What a network link's byte stream passes through between the socket and the panel. Raw TCP
// passes every byte as it is; a Telnet codec with the Com Port Control option (RFC 2217) would
// negotiate, escape and unescape here, so that the link itself stays the same for both.
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
};

// Raw TCP: the socket carries the serial line's bytes as they are.
class RawCodec final : public TransportCodec
{
public:
    QByteArray decode(const QByteArray &in, QByteArray &) override { return in; }
    QByteArray encode(const QByteArray &data) override { return data; }
};

namespace transport_codec {

// The codec for an entry's kind; null for a kind this build cannot carry yet.
std::unique_ptr<TransportCodec> make(PortEntry::Kind kind);

} // namespace transport_codec
