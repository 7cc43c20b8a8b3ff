#include "gatewaylink.h"

#include "enginelog.h"
#include "errorroute.h"
#include "intparse.h"
#include "operatorview.h"
#include "replylines.h"
#include "settings.h"

#include <algorithm>
#include <utility>

GatewayLink::GatewayLink(SettingsStore& settings, EngineLog& log, OperatorView& view, QObject* parent)
    : QObject(parent)
    , m_settings(settings)
    , m_log(log)
    , m_view(view)
{
    ClientSocketlavoro.setObjectName(QStringLiteral("ClientSocketlavoro"));
    Timer1.setObjectName(QStringLiteral("Timer1"));
    Timer1.setInterval(DefaultInterval);
    connect(&ClientSocketlavoro, &QTcpSocket::connected, this,
        [this] { runGuarded(m_view, [this] { ClientSocketlavoroConnect(); }); });
    connect(&ClientSocketlavoro, &QTcpSocket::readyRead, this,
        [this] { runGuarded(m_view, [this] { ClientSocketlavoroRead(); }); });
    connect(&ClientSocketlavoro, &QTcpSocket::disconnected, this, [this] {
        if (!m_closing)
            runGuarded(m_view, [this] { ClientSocketlavoroDisconnect(); });
    });
    connect(&ClientSocketlavoro, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError e) {
        if (!m_closing)
            runGuarded(m_view, [this, e] { ClientSocketlavoroError(e); });
    });
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

GatewayRecord::Credentials GatewayLink::credentials() const
{
    const Settings& s = m_settings.values();
    return { s.userName, s.password, s.userKey };
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
    m_inFlight.clear();
    ClientSocketlavoro.connectToHost(m_host, m_port, QIODevice::ReadWrite, QAbstractSocket::IPv4Protocol);
}

void GatewayLink::Stop1Click()
{
    Timer1.stop();
    m_view.setStartEnabled(true);
    m_view.setStopEnabled(false);
    makeInactive();
    m_view.setConnectionLights(false);
}

void GatewayLink::makeInactive()
{
    if (m_connected) {
        m_connected = false;
        m_closing = true;
        ClientSocketlavoro.abort();
        m_closing = false;
        // Closing a connected link raises its disconnected event at once.
        ClientSocketlavoroDisconnect();
    } else if (ClientSocketlavoro.state() != QAbstractSocket::UnconnectedState) {
        m_closing = true;
        ClientSocketlavoro.abort();
        m_closing = false;
    }
}

void GatewayLink::closeWithoutEvent()
{
    Timer1.stop();
    m_closing = true;
    ClientSocketlavoro.abort();
    m_closing = false;
    m_connected = false;
}

bool GatewayLink::sendMessageRecord(
    const QByteArray& record, const QByteArray& backupPath, const QByteArray& outboxName)
{
    if (!m_connected)
        return false;
    m_inFlight.append({ backupPath, outboxName });
    ClientSocketlavoro.write(record);
    return true;
}

void GatewayLink::ClientSocketlavoroConnect()
{
    m_connected = true;
    m_received.clear();
    m_inFlight.clear();
    m_inFlight.append(InFlight());
    ClientSocketlavoro.write(GatewayRecord::buildLoginRecord(credentials()));
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
        const InFlight answered = m_inFlight.isEmpty() ? InFlight() : m_inFlight.takeFirst();
        runGuarded(m_view, [this, &reply, &answered] { handleReply(reply, answered); });
        // Told even when the log failed on the way: the gateway did answer.
        if (!answered.backupPath.isEmpty()) {
            MessageFate fate;
            fate.outcome = reply.success() ? MessageFate::Accepted : MessageFate::Refused;
            fate.backupPath = answered.backupPath;
            fate.outboxName = answered.outboxName;
            fate.resultCode = reply.resultCode;
            fate.counter = reply.counter;
            Q_EMIT messageSettled(fate);
        }
        if (!m_connected)
            return; // the reply's handling stopped the link
    }
    m_received.remove(0, at);
}

void GatewayLink::handleReply(const GatewayRecord::Reply& reply, const InFlight& answered)
{
    for (const QByteArray& line : replyLogLines(reply, m_loggedIn ? RepliedTo::Message : RepliedTo::Login))
        m_log.appendLine(line);
    if (!m_loggedIn) {
        if (reply.success()) {
            m_view.setCounterText(reply.counter);
            m_view.setInfoText(reply.info);
            m_loggedIn = true;
            // The poll field refuses values under 200 only when the operator
            // leaves it; one still being typed must not make the timer spin.
            Timer1.setInterval(std::max(MinimumInterval, parseInteger(m_view.pollIntervalText())));
            m_view.setConnectionLights(true);
        } else {
            m_loggedIn = false;
            m_view.setConnectionLights(false);
            // A message record's reply read as a log-in: the message is
            // refused all the same.
            if (!answered.backupPath.isEmpty())
                m_log.appendLine("Refused: " + answered.backupPath);
        }
    } else if (reply.success()) {
        m_view.setCounterText(reply.counter);
        m_view.setInfoText(reply.info);
    } else {
        m_view.setCounterText(reply.counter);
        if (!answered.backupPath.isEmpty())
            m_log.appendLine("Refused: " + answered.backupPath);
    }
    // Turning a running timer on again must not push its next tick back.
    if (!Timer1.isActive())
        Timer1.start();
    m_view.setStartEnabled(false);
    m_view.setStopEnabled(true);
}

QList<MessageFate> GatewayLink::takeUnanswered()
{
    QList<MessageFate> fates;
    for (const InFlight& entry : std::exchange(m_inFlight, {})) {
        if (entry.backupPath.isEmpty())
            continue;
        MessageFate fate;
        fate.backupPath = entry.backupPath;
        fate.outboxName = entry.outboxName;
        fates.append(fate);
    }
    m_received.clear();
    return fates;
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
        Q_EMIT messageSettled(fate);
}

std::optional<SmsError> GatewayLink::reportUnanswered(const QList<MessageFate>& fates)
{
    std::optional<SmsError> failure = m_log.appendLines(unansweredLines(fates));
    settleAll(fates);
    return failure;
}

void GatewayLink::ClientSocketlavoroDisconnect()
{
    m_connected = false;
    const QList<MessageFate> unanswered = takeUnanswered();
    // A bad line limit must not keep the link from stopping: its error is
    // raised once the link is down.
    const std::optional<SmsError> failure
        = m_log.appendLines(QList<QByteArray> { "Socket Disconnect" } + unansweredLines(unanswered));
    settleAll(unanswered);
    Stop1Click();
    if (failure)
        throw *failure;
}

void GatewayLink::ClientSocketlavoroError(QAbstractSocket::SocketError error)
{
    // The gateway's closing arrives as a disconnected event of its own.
    if (error == QAbstractSocket::RemoteHostClosedError)
        return;
    std::optional<SmsError> failure = m_log.appendLines({ "Socket Error" });
    Stop1Click();
    // A failed lookup ends in a disconnected event too, though no connection
    // was ever made.
    if (error == QAbstractSocket::HostNotFoundError) {
        std::optional<SmsError> more = m_log.appendLines({ "Socket Disconnect" });
        Stop1Click();
        if (!failure)
            failure = std::move(more);
    }
    if (failure)
        throw *failure;
}
