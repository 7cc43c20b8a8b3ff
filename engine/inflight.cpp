#include "inflight.h"

#include "smserror.h"

#include <algorithm>
#include <optional>
#include <utility>

InFlight::InFlight(QObject* parent)
    : QObject(parent)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        if (m_queue.isEmpty())
            return;
        // A timer may fire a little early; wait out the rest.
        const auto waited = std::chrono::milliseconds(m_queue.constFirst().since.elapsed());
        if (waited < m_answerTimeout) {
            armTimer();
            return;
        }
        Q_EMIT answerOverdue();
    });
}

void InFlight::setAnswerTimeout(std::chrono::milliseconds wait)
{
    m_answerTimeout = wait;
    armTimer();
}

void InFlight::armTimer()
{
    if (m_queue.isEmpty()) {
        m_timer.stop();
        return;
    }
    const auto waited = std::chrono::milliseconds(m_queue.constFirst().since.elapsed());
    m_timer.start(std::max(std::chrono::milliseconds(0), m_answerTimeout - waited));
}

void InFlight::setMessages(qsizetype records)
{
    if (std::exchange(m_messages, records) != records)
        Q_EMIT unansweredChanged(records);
}

bool InFlight::beginMessage(const QByteArray& backupPath, const QByteArray& outboxPath)
{
    return m_journal.recordSending(backupPath, outboxPath);
}

void InFlight::messageMoved(const QByteArray& backupPath)
{
    m_journal.recordMoved(backupPath);
}

void InFlight::messageNotMoved(const QByteArray& backupPath)
{
    m_journal.recordNotMoved(backupPath);
}

void InFlight::loginSent()
{
    Waiting w;
    w.since.start();
    m_queue.append(w);
    if (m_queue.size() == 1)
        armTimer();
}

void InFlight::messageSent(const QByteArray& backupPath, const QByteArray& outboxName)
{
    Waiting w;
    w.request = { backupPath, outboxName };
    w.since.start();
    m_queue.append(w);
    if (m_queue.size() == 1)
        armTimer();
    setMessages(m_messages + 1);
}

InFlight::Request InFlight::answer()
{
    if (m_queue.isEmpty())
        return {};
    const Request answered = m_queue.takeFirst().request;
    // The next one's wait began when it was sent, not now.
    armTimer();
    if (answered.isMessage())
        setMessages(m_messages - 1);
    return answered;
}

void InFlight::settle(const MessageFate& fate)
{
    // Told even when the journal fails on the way: the fate is known.
    std::optional<SmsError> failure;
    try {
        m_journal.settle(fate);
    } catch (const SmsError& e) {
        failure = e;
    }
    Q_EMIT messageSettled(fate);
    if (failure)
        throw *failure;
}

QList<MessageFate> InFlight::abandon()
{
    QList<MessageFate> fates;
    for (const Waiting& w : std::exchange(m_queue, {})) {
        if (!w.request.isMessage())
            continue;
        MessageFate fate;
        fate.backupPath = w.request.backupPath;
        fate.outboxName = w.request.outboxName;
        fates.append(fate);
    }
    m_timer.stop();
    setMessages(0);
    return fates;
}
