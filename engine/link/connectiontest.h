#pragma once

#include "record.h"

#include <QObject>
#include <QTcpSocket>
#include <functional>

// The configure window's connection test: a connection of its own that logs
// in with the short record and reports each step as a line.
class ConnectionTest : public QObject
{
    Q_OBJECT
public:
    using LineSink = std::function<void(const QByteArray&)>;

    explicit ConnectionTest(LineSink sink, QObject* parent = nullptr);
    ~ConnectionTest() override;

    // "Test Commection": connect to host and port (read as an integer, which
    // may throw) and log in with the given, possibly unsaved, credentials. A
    // test connection left open by an earlier test is closed first.
    void run(const QByteArray& host, const QByteArray& portText, const GatewayRecord::Credentials& credentials);

    bool isActive() const { return m_socket.state() != QAbstractSocket::UnconnectedState; }

private:
    void closeQuietly();
    void onError(QAbstractSocket::SocketError error);
    void onRead();

    LineSink m_sink;
    QTcpSocket m_socket;
    GatewayRecord::Credentials m_credentials;
    QByteArray m_received;
    bool m_quiet = false;
};
