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
// sent: the gateway answers them first in, first out. It is the one holder
// of the messages in flight, from the journal's first line about one to its
// fate, and writes the crash journal as they go; it bounds how many may wait
// at once and says when the oldest has waited too long.
class InFlight : public QObject
{
    Q_OBJECT
public:
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

    // Message records sent and not answered yet.
    qsizetype unanswered() const;
    // Whether as many message records wait as may: no file is taken then.
    bool full() const { return unanswered() >= m_limit; }
    // Messages the journal holds open: sent, or on their way out.
    qsizetype openMessages() const { return m_messages.size(); }

    // Around the move of a message file, as the journal has them.
    // beginMessage() throws when the journal cannot be written, and is false
    // (nothing written) when the backup name still waits for its answer.
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
    // as an unanswered fate not yet settled. None waits after it.
    QList<MessageFate> abandon();

    // Names what an earlier run in dir sent without an answer (see
    // SendJournal::open) and journals every message from here on.
    QList<MessageFate> openJournal(const QByteArray& dir, const Clock& clock);
    // The recovered messages are named: the journal may be emptied.
    void clearRecovered() { m_journal.clearRecovered(m_messages.isEmpty()); }

Q_SIGNALS:
    void messageSettled(const MessageFate& fate);
    void unansweredChanged(qsizetype records);
    // The oldest request has waited answerTimeout(); nothing was changed.
    void answerOverdue();

private:
    struct Message
    {
        QByteArray backupPath;
        QByteArray outboxPath; // empty when not journaled
        QByteArray outboxName;
        bool moved = false;
        bool sent = false;
        QElapsedTimer since; // from the send
    };

    void armTimer();
    // The oldest wait on the connection, if any.
    const QElapsedTimer* oldestWait() const;
    qsizetype indexOf(const QByteArray& backupPath) const;
    QList<SendJournal::Open> stillOpen() const;
    // Runs a change and says when the number unanswered moved.
    template <typename F> void changing(F&& change);

    SendJournal m_journal;
    // In the order begun, which is the order sent; a message whose send
    // never came (its journal line failed) stays open for the next start.
    QList<Message> m_messages;
    bool m_loginWaiting = false;
    QElapsedTimer m_loginSince;
    int m_limit = 8;
    std::chrono::milliseconds m_answerTimeout { 30000 };
    QTimer m_timer;
};
