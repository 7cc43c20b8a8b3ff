#include "gatewaylink.h"

#include "enginelog.h"
#include "engineoptions.h"
#include "errorroute.h"
#include "intparse.h"
#include "replylines.h"
#include "settings.h"

#include <algorithm>
#include <utility>

GatewayLink::GatewayLink(SettingsStore& settings, const EngineOptions& options, EngineLog& log,
    ErrorPresenter& presenter, InFlight& inflight, QObject* parent)
    : QObject(parent)
    , m_settings(settings)
    , m_options(options)
    , m_log(log)
    , m_presenter(presenter)
    , m_inflight(inflight)
{
    m_socket.setObjectName(QStringLiteral("ClientSocketlavoro"));
    m_openWait.setSingleShot(true);
    connect(&m_socket, &QTcpSocket::connected, this, [this] { runGuarded(m_presenter, [this] { onConnected(); }); });
    connect(&m_socket, &QTcpSocket::readyRead, this, [this] { runGuarded(m_presenter, [this] { onReadyRead(); }); });
    connect(&m_socket, &QTcpSocket::disconnected, this, [this] {
        if (!m_closing)
            runGuarded(m_presenter, [this] { onDisconnected(CloseReason::PeerClosed); });
    });
    connect(&m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError e) {
        if (!m_closing)
            runGuarded(m_presenter, [this, e] { onError(e); });
    });
    connect(&m_openWait, &QTimer::timeout, this, [this] { runGuarded(m_presenter, [this] { noAnswer(); }); });
    connect(&m_inflight, &InFlight::answerOverdue, this, [this] {
        if (m_connected)
            runGuarded(m_presenter, [this] { noAnswer(); });
    });
    connect(&m_inflight, &InFlight::messageSettled, this, &GatewayLink::messageSettled);
}

GatewayLink::~GatewayLink()
{
    closeWithoutEvent();
}

bool GatewayLink::isPending() const
{
    const auto state = m_socket.state();
    return state == QAbstractSocket::HostLookupState || state == QAbstractSocket::ConnectingState;
}

QString GatewayLink::gatewayAddress() const
{
    if (m_host.isEmpty() && m_port == 0)
        return {};
    return m_host + QLatin1Char(':') + QString::number(m_port);
}

GatewayRecord::Credentials GatewayLink::credentials() const
{
    const Settings& s = m_settings.values();
    return { s.userName, s.password, s.userKey };
}

void GatewayLink::setState(LinkState state)
{
    if (std::exchange(m_state, state) != state)
        Q_EMIT stateChanged(state);
}

void GatewayLink::start()
{
    // Whatever comes next is taken for the log-in's reply.
    if (m_state == LinkState::LoggedIn)
        setState(LinkState::Connecting);
    const Settings& s = m_settings.values();
    const QString host = QString::fromLatin1(s.serverAddress);
    const quint16 port = parsePort(s.serverPort);
    if (m_connected) {
        if (host != m_host || port != m_port)
            throw SmsError(QStringLiteral("Can't change value while socket is active"));
        return;
    }
    // A second Start while the first attempt is pending would leave two.
    if (isPending())
        return;
    m_host = host;
    m_port = port;
    m_received.clear();
    setState(LinkState::Connecting);
    m_openWait.start(m_inflight.answerTimeout());
    m_socket.connectToHost(m_host, m_port, QIODevice::ReadWrite, QAbstractSocket::IPv4Protocol);
}

void GatewayLink::stop()
{
    stopLink(CloseReason::Stopped);
}

void GatewayLink::stopLink(CloseReason reason)
{
    m_openWait.stop();
    makeInactive(reason);
    if (m_state != LinkState::Disconnected) {
        setState(LinkState::Disconnected);
        Q_EMIT closed(reason);
    }
}

void GatewayLink::abortQuietly()
{
    m_closing = true;
    m_socket.abort();
    m_closing = false;
}

void GatewayLink::makeInactive(CloseReason reason)
{
    if (m_connected) {
        m_connected = false;
        abortQuietly();
        // Closing a connected link raises its disconnected event at once.
        onDisconnected(reason);
    } else if (m_socket.state() != QAbstractSocket::UnconnectedState) {
        abortQuietly();
    }
}

void GatewayLink::closeWithoutEvent()
{
    m_openWait.stop();
    abortQuietly();
    m_connected = false;
}

bool GatewayLink::sendMessageRecord(
    const QByteArray& record, const QByteArray& backupPath, const QByteArray& outboxName)
{
    if (!m_connected)
        return false;
    m_inflight.messageSent(backupPath, outboxName);
    m_socket.write(record);
    return true;
}

void GatewayLink::onConnected()
{
    m_openWait.stop();
    m_connected = true;
    m_received.clear();
    // Nothing from an earlier connection can be answered on this one.
    reportUnanswered(m_inflight.abandon());
    m_inflight.loginSent();
    m_socket.write(GatewayRecord::buildLoginRecord(credentials()));
    m_log.info("Connected");
}

void GatewayLink::onReadyRead()
{
    m_received.append(m_socket.readAll());
    // TCP splits and joins writes: handle every whole reply, keep the rest.
    qsizetype at = 0;
    while (m_received.size() - at >= GatewayRecord::Size) {
        const GatewayRecord::Reply reply = GatewayRecord::readReply(m_received.mid(at, GatewayRecord::Size));
        at += GatewayRecord::Size;
        const InFlight::Request answered = m_inflight.answer();
        runGuarded(m_presenter, [this, &reply, &answered] { handleReply(reply, answered); });
        // Told even when the reply's handling failed on the way: the gateway
        // did answer.
        if (answered.isMessage()) {
            MessageFate fate;
            fate.outcome = reply.success() ? MessageFate::Accepted : MessageFate::Refused;
            fate.backupPath = answered.backupPath;
            fate.outboxName = answered.outboxName;
            fate.resultCode = reply.resultCode;
            fate.counter = reply.counter;
            runGuarded(m_presenter, [this, &fate] { m_inflight.settle(fate); });
        }
        if (!m_connected)
            return; // the reply's handling stopped the link
    }
    m_received.remove(0, at);
}

void GatewayLink::handleReply(const GatewayRecord::Reply& reply, const InFlight::Request& answered)
{
    const bool toLogin = !loggedIn();
    for (const QByteArray& line : replyLogLines(reply, toLogin ? RepliedTo::Login : RepliedTo::Message))
        m_log.info(line);
    if (reply.success()) {
        Q_EMIT counterChanged(reply.counter);
        Q_EMIT infoChanged(reply.info);
    } else if (!toLogin) {
        Q_EMIT counterChanged(reply.counter);
    }
    if (toLogin) {
        if (reply.success()) {
            setState(LinkState::LoggedIn);
            Q_EMIT loggedInToGateway();
            // A poll that is no number stops the handling here, as it did
            // when the window's field was read at this moment: no polling.
            Q_EMIT pollIntervalChosen(std::max(EngineOptions::MinimumPollMs, m_options.pollInterval.value()));
        } else {
            setState(LinkState::Connecting);
            // A message record's reply read as a log-in: the message is
            // refused all the same.
            if (answered.isMessage())
                m_log.warning("Refused: " + answered.backupPath);
        }
    } else if (!reply.success() && answered.isMessage()) {
        m_log.warning("Refused: " + answered.backupPath);
    }
    Q_EMIT replyHandled();
}

namespace {
QList<QByteArray> unansweredLines(const QList<MessageFate>& fates)
{
    QList<QByteArray> lines;
    for (const MessageFate& fate : fates)
        lines.append("No reply for " + fate.backupPath);
    return lines;
}
} // namespace

void GatewayLink::settleAll(const QList<MessageFate>& fates)
{
    for (const MessageFate& fate : fates)
        runGuarded(m_presenter, [this, &fate] { m_inflight.settle(fate); });
}

void GatewayLink::reportUnanswered(const QList<MessageFate>& fates)
{
    for (const QByteArray& line : unansweredLines(fates))
        m_log.warning(line);
    settleAll(fates);
}

void GatewayLink::onDisconnected(CloseReason reason)
{
    m_connected = false;
    m_received.clear();
    const QList<MessageFate> unanswered = m_inflight.abandon();
    m_log.warning("Socket Disconnect");
    reportUnanswered(unanswered);
    stopLink(reason);
}

void GatewayLink::onError(QAbstractSocket::SocketError error)
{
    // The gateway's closing arrives as a disconnected event of its own.
    if (error == QAbstractSocket::RemoteHostClosedError)
        return;
    m_openWait.stop();
    m_log.warning("Socket Error");
    stopLink(CloseReason::Error);
    // A failed lookup ends in a disconnected event too, though no connection
    // was ever made.
    if (error == QAbstractSocket::HostNotFoundError) {
        m_log.warning("Socket Disconnect");
        stopLink(CloseReason::Error);
    }
}

QByteArray GatewayLink::noAnswerLine() const
{
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(m_inflight.answerTimeout());
    return "No answer from the gateway in " + QByteArray::number(qint64(seconds.count())) + " s";
}

void GatewayLink::noAnswer()
{
    // A silent gateway, or an attempt that never opens, ends as a lost
    // connection does: what waits is named and the link stops.
    m_log.warning(noAnswerLine());
    Q_EMIT answerTimedOut();
    if (m_connected) {
        m_connected = false;
        abortQuietly();
        onDisconnected(CloseReason::AnswerTimeout);
    } else {
        abortQuietly();
        m_log.warning("Socket Error");
        stopLink(CloseReason::AnswerTimeout);
    }
}
