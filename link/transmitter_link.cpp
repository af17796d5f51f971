#include "link/transmitter_link.h"

TransmitterLink::~TransmitterLink() = default;

LinkFailure TransmitterLink::fail(LinkFailure kind, const QString &text)
{
    m_lastFailure = kind;
    m_lastError = text;
    return kind;
}

void TransmitterLink::report(LinkFailure kind, const QString &text)
{
    fail(kind, text);
    emit failed(kind, text);
}

void TransmitterLink::clearFailure()
{
    m_lastFailure = LinkFailure::None;
    m_lastError.clear();
}
