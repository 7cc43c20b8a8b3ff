#pragma once

#include "closereason.h"
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

class EngineLog;
class ErrorPresenter;
class SettingsStore;
struct EngineOptions;

// The one long-lived connection to the gateway: log-in and replies. It moves
// the bytes and says what happened by typed signals, so that no one needs to
// read the log; what waits for a reply is kept by the InFlight it is given.
class GatewayLink : public QObject
{
    Q_OBJECT
public:
    GatewayLink(SettingsStore& settings, const EngineOptions& options, EngineLog& log, ErrorPresenter& presenter,
        InFlight& inflight, QObject* parent = nullptr);
    ~GatewayLink() override;

    // Connects to the configured gateway. Throws on a bad port, or when the
    // address changes under a connected link.
    void start();
    // Closes the connection, or gives up the attempt at one.
    void stop();

    // Sends one message record; false (nothing sent) when not connected.
    // The socket queues what it cannot take at once. backupPath names the message in the log if the
    // link stops before the gateway answers it or the gateway refuses it;
    // outboxName is the file's name before the move.
    bool sendMessageRecord(const QByteArray& record, const QByteArray& backupPath, const QByteArray& outboxName);

    // Messages sent by an earlier run that never heard back: each is named
    // with "No reply for" and settled as unanswered.
    void reportUnanswered(const QList<MessageFate>& fates);

    // Program end: close without a disconnected event.
    void closeWithoutEvent();

    bool loggedIn() const { return m_state == LinkState::LoggedIn; }
    bool isConnected() const { return m_connected; }
    bool isPending() const;
    LinkState state() const { return m_state; }
    // "host:port" as last started; empty before the first Start.
    QString gatewayAddress() const;
    qsizetype unansweredCount() const { return m_inflight.unanswered(); }

Q_SIGNALS:
    // Once per message record: at its reply, or when it is named with
    // "No reply for" (at a stop, or at start for an earlier run's records).
    void messageSettled(const MessageFate& fate);
    void stateChanged(LinkState state);
    // Each successful log-in reply.
    void loggedInToGateway();
    // At a successful log-in, the poll interval taken from the options.
    void pollIntervalChosen(int ms);
    // A reply was handled (log-in or message): the polling runs from here.
    void replyHandled();
    // The connection, or the attempt at one, ended.
    void closed(CloseReason reason);
    // "No answer from the gateway in N s" was logged; closed() follows.
    void answerTimedOut();
    // The gateway's counter text, from every reply that shows it.
    void counterChanged(const QByteArray& counter);
    // The gateway's info text, from every successful reply.
    void infoChanged(const QByteArray& info);

private:
    void onConnected();
    void onReadyRead();
    void onDisconnected(CloseReason reason);
    void onError(QAbstractSocket::SocketError error);

    void handleReply(const GatewayRecord::Reply& reply, const InFlight::Request& answered);
    void stopLink(CloseReason reason);
    void setCounter(const QByteArray& counter);
    void makeInactive(CloseReason reason);
    void abortQuietly();
    void setState(LinkState state);
    void noAnswer();
    void settleAll(const QList<MessageFate>& fates);
    QByteArray noAnswerLine() const;
    GatewayRecord::Credentials credentials() const;

    SettingsStore& m_settings;
    const EngineOptions& m_options;
    EngineLog& m_log;
    ErrorPresenter& m_presenter;
    InFlight& m_inflight;
    QTcpSocket m_socket;
    // A connection attempt may not take longer than an answer.
    QTimer m_openWait;
    QString m_host;
    quint16 m_port = 0;
    bool m_connected = false;
    bool m_closing = false;
    LinkState m_state = LinkState::Disconnected;
    QByteArray m_received;
};
