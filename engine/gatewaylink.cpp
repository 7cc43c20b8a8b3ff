#include "gatewaylink.h"

#include "enginelog.h"
#include "errorroute.h"
#include "intparse.h"
#include "operatorview.h"
#include "replylines.h"
#include "settings.h"

#include <algorithm>
#include <utility>

GatewayLink::GatewayLink(
    SettingsStore& settings, EngineLog& log, OperatorView& view, InFlight& inflight, QObject* parent)
    : QObject(parent)
    , m_settings(settings)
    , m_log(log)
    , m_view(view)
    , m_inflight(inflight)
{
    ClientSocketlavoro.setObjectName(QStringLiteral("ClientSocketlavoro"));
    Timer1.setObjectName(QStringLiteral("Timer1"));
    Timer1.setInterval(DefaultInterval);
    m_openWait.setSingleShot(true);
    connect(&ClientSocketlavoro, &QTcpSocket::connected, this,
        [this] { runGuarded(m_view, [this] { ClientSocketlavoroConnect(); }); });
    connect(&ClientSocketlavoro, &QTcpSocket::readyRead, this,
        [this] { runGuarded(m_view, [this] { ClientSocketlavoroRead(); }); });
    connect(&ClientSocketlavoro, &QTcpSocket::disconnected, this, [this] {
        if (!m_closing)
            runGuarded(m_view, [this] { ClientSocketlavoroDisconnect(CloseReason::PeerClosed); });
    });
    connect(&ClientSocketlavoro, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError e) {
        if (!m_closing)
            runGuarded(m_view, [this, e] { ClientSocketlavoroError(e); });
    });
    connect(&m_openWait, &QTimer::timeout, this, [this] { runGuarded(m_view, [this] { noAnswer(); }); });
    connect(&m_inflight, &InFlight::answerOverdue, this, [this] {
        if (m_connected)
            runGuarded(m_view, [this] { noAnswer(); });
    });
    connect(&m_inflight, &InFlight::messageSettled, this, &GatewayLink::messageSettled);
}

GatewayLink::~GatewayLink()
{
    closeWithoutEvent();
}

bool GatewayLink::isPending() const
{
    const auto state = ClientSocketlavoro.state();
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

void GatewayLink::Start1Click()
{
    m_loggedIn = false;
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
    ClientSocketlavoro.connectToHost(m_host, m_port, QIODevice::ReadWrite, QAbstractSocket::IPv4Protocol);
}

void GatewayLink::Stop1Click()
{
    stopLink(CloseReason::Stopped);
}

void GatewayLink::stopLink(CloseReason reason)
{
    Timer1.stop();
    m_openWait.stop();
    m_view.setStartEnabled(true);
    m_view.setStopEnabled(false);
    makeInactive(reason);
    m_view.setConnectionLights(false);
    if (m_state != LinkState::Disconnected) {
        setState(LinkState::Disconnected);
        Q_EMIT closed(reason);
    }
}

void GatewayLink::abortQuietly()
{
    m_closing = true;
    ClientSocketlavoro.abort();
    m_closing = false;
}

void GatewayLink::makeInactive(CloseReason reason)
{
    if (m_connected) {
        m_connected = false;
        abortQuietly();
        // Closing a connected link raises its disconnected event at once.
        ClientSocketlavoroDisconnect(reason);
    } else if (ClientSocketlavoro.state() != QAbstractSocket::UnconnectedState) {
        abortQuietly();
    }
}

void GatewayLink::closeWithoutEvent()
{
    Timer1.stop();
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
    ClientSocketlavoro.write(record);
    return true;
}

void GatewayLink::ClientSocketlavoroConnect()
{
    m_openWait.stop();
    m_connected = true;
    m_received.clear();
    // Nothing from an earlier connection can be answered on this one.
    const std::optional<SmsError> failure = reportUnanswered(m_inflight.abandon());
    m_inflight.loginSent();
    ClientSocketlavoro.write(GatewayRecord::buildLoginRecord(credentials()));
    if (failure)
        throw *failure;
    m_log.appendLine("Connected");
}

void GatewayLink::ClientSocketlavoroRead()
{
    m_received.append(ClientSocketlavoro.readAll());
    // TCP splits and joins writes: handle every whole reply, keep the rest.
    qsizetype at = 0;
    while (m_received.size() - at >= GatewayRecord::Size) {
        const GatewayRecord::Reply reply = GatewayRecord::readReply(m_received.mid(at, GatewayRecord::Size));
        at += GatewayRecord::Size;
        const InFlight::Request answered = m_inflight.answer();
        runGuarded(m_view, [this, &reply, &answered] { handleReply(reply, answered); });
        // Told even when the log failed on the way: the gateway did answer.
        if (answered.isMessage()) {
            MessageFate fate;
            fate.outcome = reply.success() ? MessageFate::Accepted : MessageFate::Refused;
            fate.backupPath = answered.backupPath;
            fate.outboxName = answered.outboxName;
            fate.resultCode = reply.resultCode;
            fate.counter = reply.counter;
            runGuarded(m_view, [this, &fate] { m_inflight.settle(fate); });
        }
        if (!m_connected)
            return; // the reply's handling stopped the link
    }
    m_received.remove(0, at);
}

void GatewayLink::handleReply(const GatewayRecord::Reply& reply, const InFlight::Request& answered)
{
    const bool toLogin = !m_loggedIn;
    for (const QByteArray& line : replyLogLines(reply, toLogin ? RepliedTo::Login : RepliedTo::Message))
        m_log.appendLine(line);
    if (toLogin) {
        if (reply.success()) {
            m_view.setCounterText(reply.counter);
            m_view.setInfoText(reply.info);
            Q_EMIT counterChanged(reply.counter);
            Q_EMIT infoChanged(reply.info);
            m_loggedIn = true;
            setState(LinkState::LoggedIn);
            Q_EMIT loggedInToGateway();
            // The poll field refuses values under 200 only when the operator
            // leaves it; one still being typed must not make the timer spin.
            Timer1.setInterval(std::max(MinimumInterval, parseInteger(m_view.pollIntervalText())));
            m_view.setConnectionLights(true);
        } else {
            m_loggedIn = false;
            m_view.setConnectionLights(false);
            // A message record's reply read as a log-in: the message is
            // refused all the same.
            if (answered.isMessage())
                m_log.appendLine("Refused: " + answered.backupPath);
        }
    } else if (reply.success()) {
        m_view.setCounterText(reply.counter);
        m_view.setInfoText(reply.info);
        Q_EMIT counterChanged(reply.counter);
        Q_EMIT infoChanged(reply.info);
    } else {
        m_view.setCounterText(reply.counter);
        Q_EMIT counterChanged(reply.counter);
        if (answered.isMessage())
            m_log.appendLine("Refused: " + answered.backupPath);
    }
    // Turning a running timer on again must not push its next tick back.
    if (!Timer1.isActive())
        Timer1.start();
    m_view.setStartEnabled(false);
    m_view.setStopEnabled(true);
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
        runGuarded(m_view, [this, &fate] { m_inflight.settle(fate); });
}

std::optional<SmsError> GatewayLink::reportUnanswered(const QList<MessageFate>& fates)
{
    std::optional<SmsError> failure = m_log.appendLines(unansweredLines(fates));
    settleAll(fates);
    return failure;
}

void GatewayLink::ClientSocketlavoroDisconnect(CloseReason reason)
{
    m_connected = false;
    m_received.clear();
    const QList<MessageFate> unanswered = m_inflight.abandon();
    // A bad line limit must not keep the link from stopping: its error is
    // raised once the link is down.
    const std::optional<SmsError> failure
        = m_log.appendLines(QList<QByteArray> { "Socket Disconnect" } + unansweredLines(unanswered));
    settleAll(unanswered);
    stopLink(reason);
    if (failure)
        throw *failure;
}

void GatewayLink::ClientSocketlavoroError(QAbstractSocket::SocketError error)
{
    // The gateway's closing arrives as a disconnected event of its own.
    if (error == QAbstractSocket::RemoteHostClosedError)
        return;
    m_openWait.stop();
    std::optional<SmsError> failure = m_log.appendLines({ "Socket Error" });
    stopLink(CloseReason::Error);
    // A failed lookup ends in a disconnected event too, though no connection
    // was ever made.
    if (error == QAbstractSocket::HostNotFoundError) {
        std::optional<SmsError> more = m_log.appendLines({ "Socket Disconnect" });
        stopLink(CloseReason::Error);
        if (!failure)
            failure = std::move(more);
    }
    if (failure)
        throw *failure;
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
    std::optional<SmsError> failure = m_log.appendLines({ noAnswerLine() });
    Q_EMIT answerTimedOut();
    if (m_connected) {
        m_connected = false;
        abortQuietly();
        ClientSocketlavoroDisconnect(CloseReason::AnswerTimeout);
    } else {
        abortQuietly();
        if (std::optional<SmsError> more = m_log.appendLines({ "Socket Error" }); more && !failure)
            failure = std::move(more);
        stopLink(CloseReason::AnswerTimeout);
    }
    if (failure)
        throw *failure;
}
