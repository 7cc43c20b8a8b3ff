#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <sys/socket.h>

// A stand-in gateway on 127.0.0.1 with a port of the system's choosing: it
// collects what the client writes and answers only when the test says so.
class FakeGateway : public QObject
{
public:
    QTcpServer server;
    QList<QPointer<QTcpSocket>> peers;
    QByteArray received; // everything the latest peer sent
    int disconnects = 0; // peers that went away

    FakeGateway()
    {
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = server.nextPendingConnection()) {
                peers.append(s);
                received.clear();
                connect(s, &QTcpSocket::readyRead, this, [this, s] {
                    if (s == peer())
                        received += s->readAll();
                    else
                        s->readAll();
                });
                connect(s, &QTcpSocket::disconnected, this, [this] { ++disconnects; });
            }
        });
    }

    bool listen() { return server.listen(QHostAddress::LocalHost, 0); }
    QByteArray port() const { return QByteArray::number(server.serverPort()); }
    QTcpSocket* peer() const { return peers.isEmpty() ? nullptr : peers.last().data(); }

    void send(const QByteArray& bytes)
    {
        peer()->write(bytes);
        peer()->flush();
    }

    // Closes the latest peer with a reset instead of an orderly close.
    void resetPeer()
    {
        const linger hard { 1, 0 };
        ::setsockopt(int(peer()->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        peer()->close();
    }

    // A reply as the gateway writes it: zeros except result, counter and info.
    static QByteArray reply(char result, const QByteArray& counter, const QByteArray& info = {}, int size = 396)
    {
        QByteArray r(size, '\0');
        r.replace(227, counter.size(), counter);
        r[235] = result;
        if (size > 236)
            r.replace(236, info.size(), info);
        return r;
    }
};
