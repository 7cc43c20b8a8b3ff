#include "gatewayserver.h"

#include "record.h"

#include <QRandomGenerator>
#include <QTcpSocket>
#include <cstring>

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#endif

namespace {

constexpr qint64 ReadBufferSize = 64 * 1024;
// Stop taking requests while this much output waits, so that a client that
// writes and never reads cannot make us hold its replies without end.
constexpr qint64 BacklogLimit = 256 * 1024;

bool isKnownCommand(char c)
{
    return c == 'P' || c == 'N' || c == 'L' || c == 'M' || c == 'F';
}

bool matches(const std::optional<QByteArray>& wanted, const QByteArray& request, int at, int width)
{
    // The sender cuts a long value to its slot, so compare what fits.
    return !wanted || GatewayRecord::readSlot(request, at, width) == wanted->left(width);
}

} // namespace

GatewayServer::GatewayServer(const GatewayOptions& options, QObject* parent)
    : QObject(parent)
    , m_options(options)
    , m_counter(options.counter)
{
    connect(&m_server, &QTcpServer::newConnection, this, &GatewayServer::acceptConnections);
}

bool GatewayServer::start(QString* error)
{
    if (!m_options.logFile.isEmpty() && !m_log.open(m_options.logFile, error)) {
        *error = QStringLiteral("cannot open record log %1: %2").arg(m_options.logFile, *error);
        return false;
    }
    if (!m_server.listen(m_options.address, m_options.port)) {
        *error = QStringLiteral("cannot listen on %1:%2: %3")
                     .arg(m_options.address.toString())
                     .arg(m_options.port)
                     .arg(m_server.errorString());
        return false;
    }
    return true;
}

void GatewayServer::acceptConnections()
{
    while (QTcpSocket* socket = m_server.nextPendingConnection())
        new GatewayConnection(*this, socket, ++m_connections, this);
}

char GatewayServer::resultFor(const QByteArray& request) const
{
    using namespace GatewayRecord;
    if (!matches(m_options.user, request, UserNameAt, UserNameWidth)
        || !matches(m_options.password, request, PasswordAt, PasswordWidth)
        || !matches(m_options.key, request, UserKeyAt, UserKeyWidth))
        return '1';
    if (!isKnownCommand(request.at(CommandAt)))
        return '2';
    return m_options.result;
}

QByteArray GatewayServer::reply(const QByteArray& request, char result) const
{
    using namespace GatewayRecord;
    // Same layout back: the request's command and message fields, no
    // credentials, then the gateway's own fields.
    QByteArray out(request.size(), '\0');
    std::memcpy(out.data() + CommandAt, request.constData() + CommandAt, size_t(CounterAt - CommandAt));
    writeSlot(out, CounterAt, CounterWidth, QByteArray::number(m_counter).rightJustified(CounterWidth, '0'));
    out[ResultAt] = result;
    if (out.size() >= Size)
        writeSlot(out, InfoAt, InfoWidth, m_options.info);
    return out;
}

QByteArray GatewayServer::answer(const QByteArray& request, int connection)
{
    const char result = resultFor(request);
    const char command = request.at(GatewayRecord::CommandAt);
    if (result == GatewayRecord::SuccessCode && command != GatewayRecord::LoginCommand && m_counter > 0)
        --m_counter;
    m_log.write(connection, request, result);
    return reply(request, result);
}

QByteArray GatewayServer::unsolicitedReply() const
{
    return reply(QByteArray(GatewayRecord::Size, '\0'), m_options.result);
}

GatewayConnection::GatewayConnection(GatewayServer& server, QTcpSocket* socket, int number, QObject* parent)
    : QObject(parent)
    , m_server(server)
    , m_socket(socket)
    , m_number(number)
{
    m_socket->setParent(this);
    m_socket->setReadBufferSize(ReadBufferSize);
    m_clock.start();
    m_quiet.setSingleShot(true);
    m_quiet.setInterval(server.options().quietMs);
    m_sendTimer.setSingleShot(true);
    connect(&m_quiet, &QTimer::timeout, this, &GatewayConnection::quietTimeout);
    connect(&m_sendTimer, &QTimer::timeout, this, &GatewayConnection::pump);
    connect(m_socket, &QTcpSocket::readyRead, this, &GatewayConnection::consumeInput);
    connect(m_socket, &QTcpSocket::bytesWritten, this, [this] {
        if (m_ending == Ending::None)
            consumeInput(); // the backlog may have drained
        else if (m_out.isEmpty())
            finish();
    });
    connect(m_socket, &QTcpSocket::disconnected, this, [this] {
        // Nothing more to send or read; timers may not fire into a closed socket.
        m_quiet.stop();
        m_sendTimer.stop();
        m_out.clear();
        m_outBytes = 0;
        deleteLater();
    });
    // Data may have come with the connection, before readyRead was connected.
    consumeInput();
}

qint64 GatewayConnection::backlog() const
{
    return m_socket->bytesToWrite() + m_outBytes;
}

void GatewayConnection::consumeInput()
{
    if (!m_socket->isOpen())
        return;
    if (m_ending != Ending::None) {
        m_socket->readAll(); // past the last answered request: ignored
        return;
    }
    bool consumed = false;
    // A write that fails (the peer reset) closes the socket under us.
    while (m_socket->isOpen() && backlog() < BacklogLimit) {
        const QByteArray chunk = m_socket->read(GatewayRecord::Size - m_in.size());
        if (chunk.isEmpty())
            break;
        consumed = true;
        m_in.append(chunk);
        if (m_in.size() == GatewayRecord::Size) {
            // A whole record is answered at once, whatever came before it.
            handle(std::exchange(m_in, {}));
            if (m_ending != Ending::None) {
                // A close may already have shut the socket.
                if (m_socket->isOpen())
                    m_socket->readAll();
                return;
            }
        }
    }
    if (!consumed || !m_socket->isOpen())
        return;
    // A short log-in is told from the first part of a full one by the quiet
    // that follows it; any further byte ends the wait.
    if (m_in.size() == GatewayRecord::ShortSize && m_in.at(GatewayRecord::CommandAt) == GatewayRecord::LoginCommand
        && m_socket->bytesAvailable() == 0)
        m_quiet.start();
    else
        m_quiet.stop();
}

void GatewayConnection::quietTimeout()
{
    if (m_ending != Ending::None || m_socket->bytesAvailable() > 0 || m_in.size() != GatewayRecord::ShortSize)
        return;
    handle(std::exchange(m_in, {}));
}

void GatewayConnection::handle(const QByteArray& request)
{
    const GatewayOptions& options = m_server.options();
    const bool mutedConnection
        = options.muteAfter >= 0 && (options.muteConnections == 0 || m_number <= options.muteConnections);
    if (mutedConnection && m_answered >= options.muteAfter) {
        // A hung gateway: it takes the request and never answers.
        m_server.answer(request, m_number);
        return;
    }
    schedule(m_server.answer(request, m_number), options.split, options.delayMs);
    ++m_answered;

    if (!m_loginExtrasSent && request.at(GatewayRecord::CommandAt) == GatewayRecord::LoginCommand) {
        m_loginExtrasSent = true;
        if (options.garbage > 0) {
            // Fixed seed: a fault test sees the same bytes on every run.
            QRandomGenerator random(20070305);
            QByteArray garbage(options.garbage, '\0');
            for (char& c : garbage)
                c = char(random.bounded(256));
            schedule(garbage, 1, 0);
        }
        for (int i = 0; i < options.unsolicited; ++i)
            schedule(m_server.unsolicitedReply(), options.split, 0);
    }

    if (options.resetAfter > 0 && m_answered >= options.resetAfter)
        m_ending = Ending::Reset;
    else if (options.closeAfter > 0 && m_answered >= options.closeAfter)
        m_ending = Ending::Close;
    if (m_ending != Ending::None)
        m_quiet.stop();
    pump();
}

void GatewayConnection::schedule(const QByteArray& bytes, int pieces, int delayMs)
{
    const qint64 now = m_clock.elapsed();
    // Replies keep their order: none goes before the one scheduled ahead of it.
    qint64 due = qMax(now + delayMs, m_lastDue);
    const int n = int(qBound(qsizetype(1), qsizetype(pieces), bytes.size()));
    qsizetype at = 0;
    for (int i = 0; i < n; ++i) {
        const qsizetype len = bytes.size() / n + (i < bytes.size() % n ? 1 : 0);
        if (i > 0)
            due += m_server.options().splitPauseMs;
        m_out.append({ due, bytes.mid(at, len) });
        m_outBytes += len;
        at += len;
    }
    m_lastDue = due;
}

void GatewayConnection::pump()
{
    // A failed write closes the socket at once, even inside the loop.
    const auto connected = [this] { return m_socket->state() == QAbstractSocket::ConnectedState; };
    if (m_finished || !connected())
        return;
    const qint64 now = m_clock.elapsed();
    while (!m_out.isEmpty() && m_out.constFirst().due <= now && connected()) {
        const Piece piece = m_out.takeFirst();
        m_outBytes -= piece.bytes.size();
        m_socket->write(piece.bytes);
        // Each piece its own segment: the point of splitting.
        m_socket->flush();
    }
    if (!connected())
        return;
    if (!m_out.isEmpty())
        m_sendTimer.start(int(qMin<qint64>(m_out.constFirst().due - now, INT_MAX)));
    else if (m_ending != Ending::None)
        finish();
}

void GatewayConnection::finish()
{
    if (m_finished || m_socket->state() != QAbstractSocket::ConnectedState)
        return;
    if (m_ending == Ending::Close) {
        m_finished = true;
        m_socket->disconnectFromHost(); // sends what waits, then FIN
        return;
    }
    // A reset throws away whatever the kernel still holds: wait until the
    // last reply has left our buffer (bytesWritten calls again).
    if (m_socket->bytesToWrite() > 0)
        return;
    m_finished = true;
#ifdef Q_OS_UNIX
    const linger hard { 1, 0 };
    ::setsockopt(int(m_socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
#endif
    m_socket->abort();
}
