#pragma once

#include <QString>
#include <memory>

class QObject;
class TransmitterLink;

// The link that a port map entry asks for: a network link for an address, a serial link for a
// device path.
namespace link_factory {

std::unique_ptr<TransmitterLink> make(const QString &entry, QObject *parent = nullptr);

} // namespace link_factory
