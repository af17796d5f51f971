#include "monitor/stop_signals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_pair[2] = { -1, -1 };
constexpr int kSignals[] = { SIGTERM, SIGINT };

void onSignal(int signal)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t n = ::write(g_pair[1], &byte, 1);
    errno = saved;
}

void setAction(void (*handler)(int))
{
    struct sigaction action {
    };
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int s : kSignals)
        ::sigaction(s, &action, nullptr);
}

} // namespace

StopSignals::StopSignals(QObject *parent)
    : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_pair) != 0)
        return;
    // A handler never blocks on a full pair, nor does the reader on an empty one.
    ::fcntl(g_pair[0], F_SETFL, O_NONBLOCK);
    ::fcntl(g_pair[1], F_SETFL, O_NONBLOCK);
    m_notifier = new QSocketNotifier(g_pair[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &StopSignals::readSignals);
    setAction(onSignal);
}

StopSignals::~StopSignals()
{
    if (!m_notifier)
        return;
    setAction(SIG_DFL);
    delete m_notifier;
    ::close(g_pair[0]);
    ::close(g_pair[1]);
    g_pair[0] = g_pair[1] = -1;
}

void StopSignals::readSignals()
{
    unsigned char bytes[16];
    ssize_t n;
    while ((n = ::read(g_pair[0], bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < n; ++i)
            emit received(bytes[i]);
    }
}
