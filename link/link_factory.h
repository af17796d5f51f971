#pragma once

#include <QString>
#include <memory>

class QObject;
class TransmitterLink;

// The link that a port map entry asks for.
namespace link_factory {

std::unique_ptr<TransmitterLink> make(const QString &entry, QObject *parent = nullptr);

} // namespace link_factory
