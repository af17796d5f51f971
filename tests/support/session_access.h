#pragma once

#include "session/session.h"

class SerialLink;

// The test kit's way into a session's parts, which the session hands out to everyone else only to
// look at: tests feed the monitor bytes, shorten its stale interval, or stop the serial port's
// notifications, as nothing in the program may.
class SessionTestAccess
{
public:
    static TransmitterLink &link(TransmitterSession &session) { return *session.m_link; }
    // The link as a serial one (null when the port's entry made another kind).
    static SerialLink *serialLink(TransmitterSession &session);
    static StatusMonitor &monitor(TransmitterSession &session) { return session.m_monitor; }
    static ScriptRunner &runner(TransmitterSession &session) { return session.m_runner; }
    static PortCheck &portCheck(TransmitterSession &session) { return session.m_check; }
};

#include "link/serial_link.h"

inline SerialLink *SessionTestAccess::serialLink(TransmitterSession &session)
{
    return qobject_cast<SerialLink *>(session.m_link.get());
}
