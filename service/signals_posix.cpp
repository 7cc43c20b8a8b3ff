#include "unixsignals.h"

#include "smserror.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// [0] is written by the handler, [1] read by the event loop.
int signalFds[2] = { -1, -1 };

void onSignal(int number)
{
    const int saved = errno;
    const char byte = char(number);
    // Nothing else is safe here; a full pipe only drops a repeated signal.
    [[maybe_unused]] const ssize_t n = ::write(signalFds[0], &byte, 1);
    errno = saved;
}

bool setHandler(int number, void (*handler)(int))
{
    struct sigaction action
    {
    };
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(number, &action, nullptr) == 0;
}
} // namespace

UnixSignals::UnixSignals(QObject* parent)
    : QObject(parent)
{
}

UnixSignals::~UnixSignals()
{
    for (int number : { SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2 })
        setHandler(number, SIG_DFL);
    for (int& fd : signalFds) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

void UnixSignals::install()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalFds) != 0)
        throw SmsError(QStringLiteral("socketpair: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
    // The handler must never block.
    ::fcntl(signalFds[0], F_SETFL, ::fcntl(signalFds[0], F_GETFL) | O_NONBLOCK);
    m_notifier = new QSocketNotifier(signalFds[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &UnixSignals::readPending);
    bool ok = setHandler(SIGPIPE, SIG_IGN);
    for (int number : { SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2 })
        ok = setHandler(number, onSignal) && ok;
    if (!ok)
        throw SmsError(QStringLiteral("sigaction: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
}

void UnixSignals::readPending()
{
    char byte = 0;
    if (::read(signalFds[1], &byte, 1) != 1)
        return;
    if (byte == SIGHUP)
        Q_EMIT reloadRequested();
    else if (byte == SIGUSR1)
        Q_EMIT pauseRequested(true);
    else if (byte == SIGUSR2)
        Q_EMIT pauseRequested(false);
    else
        Q_EMIT terminateRequested();
}
