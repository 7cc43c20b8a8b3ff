#include "gatewayprocess.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

#include <fcntl.h>
#include <poll.h>

bool waitUntil(const std::function<bool()>& condition, int ms)
{
    const QDeadlineTimer deadline(ms);
    while (!condition()) {
        if (deadline.hasExpired())
            return condition();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QThread::msleep(1);
    }
    return true;
}

bool GatewayProcess::start(const QStringList& arguments, const QString& program)
{
    error.clear();
    process.setProgram(program);
    process.setArguments(arguments);
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start();
    if (!waitUntil([this] { return process.canReadLine() || process.state() == QProcess::NotRunning; }, 10000)) {
        error = QStringLiteral("the gateway printed no port within 10 s");
        return false;
    }
    const QByteArray line = process.readLine().trimmed();
    const QByteArray prefix = "listening on 127.0.0.1:";
    if (!line.startsWith(prefix)) {
        error = QStringLiteral("the gateway printed '%1': %2")
                    .arg(QString::fromLocal8Bit(line), QString::fromLocal8Bit(process.readAllStandardError()));
        return false;
    }
    port = quint16(line.mid(prefix.size()).toUInt());
    if (port == 0)
        error = QStringLiteral("the gateway printed no port");
    return port != 0;
}

bool FullBacklogListener::open()
{
    m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0
        || ::listen(m_listener, 0) != 0 || ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&a), &length) != 0)
        return false;
    port = ntohs(a.sin_port);
    // Connections complete until the accept queue is full; the first one
    // left hanging shows that it is.
    for (int i = 0; i < 8; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0)
            return false;
        m_fillers.append(fd);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
            continue;
        if (errno != EINPROGRESS)
            return false;
        pollfd p { fd, POLLOUT, 0 };
        if (::poll(&p, 1, 2000) == 0)
            return i > 0;
    }
    return false;
}

FullBacklogListener::~FullBacklogListener()
{
    for (const int fd : std::as_const(m_fillers))
        ::close(fd);
    if (m_listener >= 0)
        ::close(m_listener);
}
