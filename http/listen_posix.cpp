#include "listener.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Listener {

int listenOn(const QByteArray& address, QString* error, QByteArray* bound)
{
    const qsizetype colon = address.lastIndexOf(':');
    QByteArray host = colon < 0 ? QByteArray() : address.left(colon);
    bool portOk = false;
    const uint port = colon < 0 ? 0 : address.mid(colon + 1).toUInt(&portOk);
    if (host.startsWith('[') && host.endsWith(']'))
        host = host.mid(1, host.size() - 2);
    sockaddr_storage storage {};
    socklen_t length = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (!portOk || port > 65535 || host.isEmpty()) {
        *error = QStringLiteral("--listen: '%1' is no ADDR:PORT").arg(QString::fromLatin1(address));
        return -1;
    }
    if (::inet_pton(AF_INET, host.constData(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(quint16(port));
        length = sizeof *v4;
    } else if (::inet_pton(AF_INET6, host.constData(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(quint16(port));
        length = sizeof *v6;
    } else {
        *error = QStringLiteral("--listen: '%1' is no IP address").arg(QString::fromLatin1(host));
        return -1;
    }
    const int fd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0
        || ::bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0 || ::listen(fd, 511) != 0) {
        *error = QStringLiteral("cannot listen on %1: %2")
                     .arg(QString::fromLatin1(address), QString::fromLocal8Bit(std::strerror(errno)));
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    *bound = boundAddress(fd);
    return fd;
}

QByteArray boundAddress(int fd)
{
    sockaddr_storage storage {};
    socklen_t length = sizeof storage;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0)
        return {};
    char text[INET6_ADDRSTRLEN] = {};
    if (storage.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&storage);
        ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        return QByteArray(text) + ':' + QByteArray::number(ntohs(v4->sin_port));
    }
    if (storage.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&storage);
        ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        return '[' + QByteArray(text) + "]:" + QByteArray::number(ntohs(v6->sin6_port));
    }
    return {};
}

} // namespace Listener
