#include "link/link_factory.h"

#include "link/network_link.h"
#include "link/port_entry.h"
#include "link/serial_link.h"

namespace link_factory {

// An address (parsed or not: the network link tells one that does not parse as a missing port) is
// a network link's; anything else is a device path.
std::unique_ptr<TransmitterLink> make(const QString &entry, QObject *parent)
{
    if (port_entry::looksNetwork(entry))
        return std::make_unique<NetworkLink>(parent);
    return std::make_unique<SerialLink>(parent);
}

} // namespace link_factory
