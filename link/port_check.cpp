#include "link/port_check.h"

#include "link/transmitter_link.h"

const char *const kMissingPortText
    = "The selected COM port does not exist, please select another port under File > Setup";

PortCheck::PortCheck(TransmitterLink &link, QObject *parent)
    : QObject(parent)
    , m_link(&link)
{
}

void PortCheck::portChosen()
{
    m_tickToldForPort = 0;
}

CheckResult PortCheck::run(CheckOrigin origin, int port, const QString &device)
{
    const bool tick = origin == CheckOrigin::Tick;
    if (tick && m_messageShowing)
        return CheckResult::Missing;
    if (!tick)
        m_tickToldForPort = 0; // an explicit check tells the operator, and re-arms the tick

    const int stored = port;
    const LinkFailure failure = m_link->isOpen() ? LinkFailure::None : m_link->open(port, device);

    switch (failure) {
    case LinkFailure::None:
        m_tickToldForPort = 0; // the port is back: a later loss is a new story
        return CheckResult::Ready;
    case LinkFailure::Missing:
        if (!tick || m_tickToldForPort != stored) {
            if (tick)
                m_tickToldForPort = stored;
            emit missingPort();
        }
        return CheckResult::Missing;
    case LinkFailure::Connecting:
        return CheckResult::Connecting;
    default:
        emit linkProblem(m_link->lastErrorText());
        return CheckResult::Failed;
    }
}
