#pragma once

#include "gatewayoptions.h"
#include "recordlog.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QTcpServer>
#include <QTimer>

class QTcpSocket;

// The listening side: accepts connections, keeps the shared counter and the
// record log, and decides every reply.
class GatewayServer : public QObject
{
    Q_OBJECT
public:
    explicit GatewayServer(const GatewayOptions& options, QObject* parent = nullptr);

    // Opens the record log (if any) and starts listening.
    bool start(QString* error);
    QHostAddress address() const { return m_server.serverAddress(); }
    quint16 port() const { return m_server.serverPort(); }
    const GatewayOptions& options() const { return m_options; }

    // The reply to one request (396 or 236 bytes) on a connection; counts the
    // message down and writes the record log line.
    QByteArray answer(const QByteArray& request, int connection);

    // A reply to no request, as the log-in's extras send.
    QByteArray unsolicitedReply() const;

private:
    void acceptConnections();
    char resultFor(const QByteArray& request) const;
    QByteArray reply(const QByteArray& request, char result) const;

    GatewayOptions m_options;
    QTcpServer m_server;
    RecordLog m_log;
    int m_counter = 0;
    int m_connections = 0;
};

// One accepted connection: gathers bytes into requests, answers them in
// order, and sends the replies on the schedule the options ask for. Every
// 396 bytes are a full request, answered at once; exactly 236 bytes of a
// log-in followed by the quiet time with no further byte are a connection
// test. A split message record can therefore never pass for a test.
class GatewayConnection : public QObject
{
    Q_OBJECT
public:
    GatewayConnection(GatewayServer& server, QTcpSocket* socket, int number, QObject* parent);

private:
    enum class Ending { None, Close, Reset };

    void consumeInput();
    void quietTimeout();
    void handle(const QByteArray& request);
    void schedule(const QByteArray& bytes, int pieces, int delayMs);
    void pump();
    void finish();
    qint64 backlog() const;

    struct Piece
    {
        qint64 due;
        QByteArray bytes;
    };

    GatewayServer& m_server;
    QTcpSocket* m_socket;
    const int m_number;
    QByteArray m_in;
    QTimer m_quiet;
    QTimer m_sendTimer;
    QElapsedTimer m_clock;
    QList<Piece> m_out;
    qint64 m_outBytes = 0;
    qint64 m_lastDue = 0;
    int m_answered = 0;
    bool m_loginExtrasSent = false;
    Ending m_ending = Ending::None;
    bool m_finished = false;
};
