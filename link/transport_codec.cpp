#include "link/transport_codec.h"

#include "link/telnet_codec.h"

TransportCodec::~TransportCodec() = default;

namespace {

// rfc2217://: the Telnet codec behind the link's seam. Its opening negotiation is the greeting,
// its answers go back at once, and one write of the panel stays one buffer for the socket.
class TelnetTransport final : public TransportCodec
{
public:
    QByteArray greeting() override { return m_telnet.start(); }

    QByteArray decode(const QByteArray &in, QByteArray &reply) override
    {
        TelnetCodec::Decoded out = m_telnet.decode(in);
        reply = std::move(out.reply);
        for (const TelnetCodec::Event &e : out.events) {
            const bool refusedComPort
                = e.kind == TelnetCodec::Event::Kind::OptionRefused && e.option == TelnetCodec::OptionComPort;
            if (e.kind == TelnetCodec::Event::Kind::SettingRejected || refusedComPort)
                m_notices << e.text;
        }
        return std::move(out.data);
    }

    QByteArray encode(const QByteArray &data) override { return m_telnet.encode(data); }

    QStringList takeNotices() override { return std::exchange(m_notices, {}); }

private:
    TelnetCodec m_telnet;
    QStringList m_notices;
};

} // namespace

namespace transport_codec {

std::unique_ptr<TransportCodec> make(PortEntry::Kind kind)
{
    switch (kind) {
    case PortEntry::Kind::Tcp:
        return std::make_unique<RawCodec>();
    case PortEntry::Kind::Rfc2217:
        return std::make_unique<TelnetTransport>();
    case PortEntry::Kind::Device:
        break;
    }
    return nullptr;
}

} // namespace transport_codec
