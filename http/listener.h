#pragma once

#include <QByteArray>
#include <QString>

// The listening socket: one handed over by the service manager, or one
// made for --listen. The Linux calls are in listen_posix.cpp; the service
// manager's side in activation_systemd.cpp (activation_none.cpp without
// libsystemd).
namespace Listener {

// A socket the service manager passed (socket activation), or -1.
int activated();
// A TCP socket bound to "ADDR:PORT" ("[ADDR]:PORT" for IPv6) and
// listening; -1 and the reason in *error. *bound: the address taken
// (port 0 asks for a free port).
int listenOn(const QByteArray& address, QString* error, QByteArray* bound);
// The address a listening socket is bound to, as "ADDR:PORT".
QByteArray boundAddress(int fd);

} // namespace Listener
