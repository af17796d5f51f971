#include "link/transport_codec.h"

TransportCodec::~TransportCodec() = default;

namespace transport_codec {

std::unique_ptr<TransportCodec> make(PortEntry::Kind kind)
{
    switch (kind) {
    case PortEntry::Kind::Tcp:
        return std::make_unique<RawCodec>();
    case PortEntry::Kind::Rfc2217: // the Telnet codec plugs in here
    case PortEntry::Kind::Device:
        break;
    }
    return nullptr;
}

} // namespace transport_codec
