#pragma once

#include "messagefate.h"
#include "sendjournal.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QTimer>

#include <chrono>

// The requests on the connection that wait for their replies, in the order
// sent: the gateway answers them first in, first out. It keeps the crash
// journal of the messages among them, bounds how many may wait at once and
// says when the oldest has waited too long.
class InFlight : public QObject
{
    Q_OBJECT
public:
    static constexpr int DefaultLimit = 8;
    static constexpr int LeastLimit = 1;
    static constexpr int MostLimit = 100;
    static constexpr std::chrono::seconds DefaultAnswerTimeout { 30 };
    static constexpr std::chrono::seconds LeastAnswerTimeout { 5 };
    static constexpr std::chrono::seconds MostAnswerTimeout { 3600 };

    // One request waiting for its reply; the log-in's has no backup path.
    struct Request
    {
        QByteArray backupPath;
        QByteArray outboxName;
        bool isMessage() const { return !backupPath.isEmpty(); }
    };

    explicit InFlight(QObject* parent = nullptr);

    // How many message records may wait at once.
    void setLimit(int records) { m_limit = records; }
    int limit() const { return m_limit; }
    // How long the oldest request may wait for its reply.
    void setAnswerTimeout(std::chrono::milliseconds wait);
    std::chrono::milliseconds answerTimeout() const { return m_answerTimeout; }

    SendJournal& journal() { return m_journal; }
    const SendJournal& journal() const { return m_journal; }

    // Message records sent and not answered yet.
    qsizetype unanswered() const { return m_messages; }
    // Whether as many message records wait as may: no file is taken then.
    bool full() const { return m_messages >= m_limit; }

    // Around the move of a message file, as the journal has them. beginMessage()
    // throws when the journal cannot be written, and is false (nothing
    // written) when the backup name still waits for its answer.
    bool beginMessage(const QByteArray& backupPath, const QByteArray& outboxPath);
    void messageMoved(const QByteArray& backupPath);
    void messageNotMoved(const QByteArray& backupPath);

    // A request left on the connection: its wait starts now.
    void loginSent();
    void messageSent(const QByteArray& backupPath, const QByteArray& outboxName);

    // A reply came: the oldest request, which it answers, leaves the queue.
    // An empty Request when none waited.
    Request answer();

    // The message's fate is known: journaled and told once.
    void settle(const MessageFate& fate);

    // The connection ended: every message still waiting, in the order sent,
    // as an unanswered fate not yet settled. The queue is empty after it.
    QList<MessageFate> abandon();

Q_SIGNALS:
    void messageSettled(const MessageFate& fate);
    void unansweredChanged(qsizetype records);
    // The oldest request has waited answerTimeout(); nothing was changed.
    void answerOverdue();

private:
    struct Waiting
    {
        Request request;
        QElapsedTimer since;
    };

    void armTimer();
    void setMessages(qsizetype records);

    SendJournal m_journal;
    QList<Waiting> m_queue;
    qsizetype m_messages = 0;
    int m_limit = DefaultLimit;
    std::chrono::milliseconds m_answerTimeout = DefaultAnswerTimeout;
    QTimer m_timer;
};
