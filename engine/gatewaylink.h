#pragma once

#include "inflight.h"
#include "linkstate.h"
#include "messagefate.h"
#include "record.h"
#include "smserror.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTcpSocket>
#include <QTimer>

#include <optional>

class EngineLog;
class OperatorView;
class SettingsStore;

// The one long-lived connection to the gateway: log-in, replies, and the
// polling timer that runs from the first reply until the link stops. What
// waits for a reply is kept by the InFlight it is given; what happens is
// told by typed signals, so that no one needs to read the log.
class GatewayLink : public QObject
{
    Q_OBJECT
public:
    GatewayLink(
        SettingsStore& settings, EngineLog& log, OperatorView& view, InFlight& inflight, QObject* parent = nullptr);
    ~GatewayLink() override;

    // Status menu "Start": connect to the configured gateway. Throws on a bad
    // port, or when the address changes under a connected link.
    void Start1Click();
    // Status menu "Stop": timer off, Start on, Stop off, close, lights red.
    void Stop1Click();

    // Sends one message record; false (nothing sent) when not connected.
    // The socket queues what it cannot take at once. backupPath names the message in the log if the
    // link stops before the gateway answers it or the gateway refuses it;
    // outboxName is the file's name before the move.
    bool sendMessageRecord(const QByteArray& record, const QByteArray& backupPath, const QByteArray& outboxName);

    // Messages sent by an earlier run that never heard back: each is named
    // with "No reply for" and settled as unanswered. Hands back the log's
    // first failure, after every line is in.
    [[nodiscard]] std::optional<SmsError> reportUnanswered(const QList<MessageFate>& fates);

    // Program end: close without a disconnected event.
    void closeWithoutEvent();

    bool loggedIn() const { return m_loggedIn; }
    bool isConnected() const { return m_connected; }
    bool isPending() const;
    LinkState state() const { return m_state; }
    // "host:port" as last started; empty before the first Start.
    QString gatewayAddress() const;
    QTimer& timer() { return Timer1; }
    qsizetype unansweredCount() const { return m_inflight.unanswered(); }

    static constexpr int DefaultInterval = 1000;
    static constexpr int MinimumInterval = 200;

Q_SIGNALS:
    // Once per message record: at its reply, or when it is named with
    // "No reply for" (at a stop, or at start for an earlier run's records).
    void messageSettled(const MessageFate& fate);
    void stateChanged(LinkState state);
    // Each successful log-in reply.
    void loggedInToGateway();
    // The connection, or the attempt at one, ended.
    void closed(CloseReason reason);
    // "No answer from the gateway in N s" was logged; closed() follows.
    void answerTimedOut();
    // The gateway's counter text, from every reply that shows it.
    void counterChanged(const QByteArray& counter);
    // The gateway's info text, from every successful reply.
    void infoChanged(const QByteArray& info);

private:
    void ClientSocketlavoroConnect();
    void ClientSocketlavoroRead();
    void ClientSocketlavoroDisconnect(CloseReason reason);
    void ClientSocketlavoroError(QAbstractSocket::SocketError error);

    void handleReply(const GatewayRecord::Reply& reply, const InFlight::Request& answered);
    void stopLink(CloseReason reason);
    void makeInactive(CloseReason reason);
    void abortQuietly();
    void setState(LinkState state);
    void noAnswer();
    void settleAll(const QList<MessageFate>& fates);
    QByteArray noAnswerLine() const;
    GatewayRecord::Credentials credentials() const;

    SettingsStore& m_settings;
    EngineLog& m_log;
    OperatorView& m_view;
    InFlight& m_inflight;
    QTcpSocket ClientSocketlavoro;
    QTimer Timer1;
    // A connection attempt may not take longer than an answer.
    QTimer m_openWait;
    QString m_host;
    quint16 m_port = 0;
    bool m_loggedIn = false;
    bool m_connected = false;
    bool m_closing = false;
    LinkState m_state = LinkState::Disconnected;
    QByteArray m_received;
};
