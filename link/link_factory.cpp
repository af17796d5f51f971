#include "link/link_factory.h"

#include "link/serial_link.h"

namespace link_factory {

std::unique_ptr<TransmitterLink> make(const QString &entry, QObject *parent)
{
    Q_UNUSED(entry);
    return std::make_unique<SerialLink>(parent);
}

} // namespace link_factory
