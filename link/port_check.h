#pragma once

#include <QObject>
#include <QString>

class TransmitterLink;

// Who runs a port check: the missing-port message is always shown for an explicit command or a
// port choice, but once per stored port for the auto-read tick, so a message box every second
// cannot lock the operator out of File > Setup.
enum class CheckOrigin { Command, Tick, PortChoice, Startup };

enum class CheckResult {
    Ready,        // the link is open: the sender goes on
    Missing,      // the selected port does not exist: nothing may be written
    Failed,       // another failure (permission, busy, ...): the sender stops, linkProblem told why
    Connecting    // the link is opening in the background: nothing is written yet, nothing told
};

// The first step of every command sender: open the link on the chosen port if it is closed, and tell
// a missing port apart from every other failure. The caller names the port and its device.
class PortCheck : public QObject
{
    Q_OBJECT
public:
    explicit PortCheck(TransmitterLink &link, QObject *parent = nullptr);
    // The session builds a new link when the port's entry asks for another kind.
    void setLink(TransmitterLink &link) { m_link = &link; }

    CheckResult run(CheckOrigin origin, int port, const QString &device);

    // While the missing-port message is on screen, ticks run no port check at all.
    void setMessageShowing(bool showing) { m_messageShowing = showing; }
    bool messageShowing() const { return m_messageShowing; }

    // The operator chose a port: the next tick may show the message again.
    void portChosen();

signals:
    // Show "The selected COM port does not exist, please select another port under File > Setup".
    void missingPort();
    // Another failure, as a text for the status bar.
    void linkProblem(const QString &text);

private:
    TransmitterLink *m_link;
    bool m_messageShowing = false;
    int m_tickToldForPort = 0; // the stored port a tick last showed the message for, 0 for none
};

// The text of the missing-port message, exactly as the operator sees it.
extern const char *const kMissingPortText;
