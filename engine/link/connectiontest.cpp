#include "connectiontest.h"

#include "intparse.h"
#include "replylines.h"
#include "smserror.h"

ConnectionTest::ConnectionTest(LineSink sink, QObject* parent)
    : QObject(parent)
    , m_sink(std::move(sink))
{
    m_socket.setObjectName(QStringLiteral("ClientSocketConf"));
    connect(&m_socket, &QTcpSocket::stateChanged, this, [this](QAbstractSocket::SocketState state) {
        if (!m_quiet && state == QAbstractSocket::ConnectingState)
            m_sink("Connecting...");
    });
    connect(&m_socket, &QTcpSocket::connected, this, [this] {
        m_sink("Connected");
        m_socket.write(GatewayRecord::buildLoginRecord(m_credentials, GatewayRecord::ShortSize));
    });
    connect(&m_socket, &QTcpSocket::readyRead, this, [this] { onRead(); });
    connect(&m_socket, &QTcpSocket::disconnected, this, [this] {
        if (!m_quiet)
            m_sink("Disconnected");
    });
    connect(&m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError e) { onError(e); });
}

ConnectionTest::~ConnectionTest()
{
    closeQuietly();
}

void ConnectionTest::closeQuietly()
{
    m_quiet = true;
    m_socket.abort();
    m_quiet = false;
    m_received.clear();
}

void ConnectionTest::run(
    const QByteArray& host, const QByteArray& portText, const GatewayRecord::Credentials& credentials)
{
    const quint16 port = parsePort(portText);
    // A connection left open by a reset or a refused attempt is not reused.
    if (isActive())
        closeQuietly();
    m_credentials = credentials;
    m_received.clear();
    m_socket.connectToHost(QString::fromLatin1(host), port, QIODevice::ReadWrite, QAbstractSocket::IPv4Protocol);
}

void ConnectionTest::onRead()
{
    m_received.append(m_socket.readAll());
    if (m_received.size() < GatewayRecord::ShortSize)
        return; // the rest of the reply is still on its way
    const GatewayRecord::Reply reply
        = GatewayRecord::readReply(m_received.left(GatewayRecord::ShortSize), GatewayRecord::ShortSize);
    m_received.clear();
    for (const QByteArray& line : replyLogLines(reply, RepliedTo::Login))
        m_sink(line);
    // Closing a connected test connection raises its disconnected event.
    m_quiet = true;
    m_socket.abort();
    m_quiet = false;
    m_sink("Disconnected");
}

void ConnectionTest::onError(QAbstractSocket::SocketError error)
{
    if (m_quiet || error == QAbstractSocket::RemoteHostClosedError)
        return;
    m_sink("Error");
    if (error == QAbstractSocket::HostNotFoundError)
        m_sink("Disconnected");
}
