#include "vcunixsignalwatcher.h"

#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The handler may only write to the socket; everything else happens in the event loop.
int signalSockets[2] = {-1, -1};

void handleSignal(int signalNumber)
{
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(signalSockets[0], &byte, 1);
}

} // namespace

VCUnixSignalWatcher::VCUnixSignalWatcher(QObject *parent)
    : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalSockets) != 0)
        return;
    m_notifier = new QSocketNotifier(signalSockets[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &VCUnixSignalWatcher::readSignal);

    struct sigaction action = {};
    action.sa_handler = handleSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signalNumber : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signalNumber, &action, nullptr);
}

VCUnixSignalWatcher::~VCUnixSignalWatcher()
{
    if (!m_notifier)
        return;
    for (int signalNumber : {SIGTERM, SIGINT, SIGHUP})
        std::signal(signalNumber, SIG_DFL);
    ::close(signalSockets[0]);
    ::close(signalSockets[1]);
    signalSockets[0] = signalSockets[1] = -1;
}

void VCUnixSignalWatcher::readSignal()
{
    unsigned char byte = 0;
    if (::read(signalSockets[1], &byte, 1) == 1)
        emit terminationRequested(byte);
}
