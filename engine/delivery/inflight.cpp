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
        const QElapsedTimer* oldest = oldestWait();
        if (!oldest)
            return;
        // A timer may fire a little early; wait out the rest.
        if (std::chrono::milliseconds(oldest->elapsed()) < m_answerTimeout) {
            armTimer();
            return;
        }
        Q_EMIT answerOverdue();
    });
}

template <typename F> void InFlight::changing(F&& change)
{
    const qsizetype before = unanswered();
    change();
    if (const qsizetype after = unanswered(); after != before)
        Q_EMIT unansweredChanged(after);
}

qsizetype InFlight::unanswered() const
{
    return std::count_if(m_messages.cbegin(), m_messages.cend(), [](const Message& m) { return m.sent; });
}

const QElapsedTimer* InFlight::oldestWait() const
{
    if (m_loginWaiting)
        return &m_loginSince;
    for (const Message& m : m_messages) {
        if (m.sent)
            return &m.since;
    }
    return nullptr;
}

void InFlight::setAnswerTimeout(std::chrono::milliseconds wait)
{
    m_answerTimeout = wait;
    armTimer();
}

void InFlight::armTimer()
{
    const QElapsedTimer* oldest = oldestWait();
    if (!oldest) {
        m_timer.stop();
        return;
    }
    // The next one's wait began when it was sent, not now.
    const auto waited = std::chrono::milliseconds(oldest->elapsed());
    m_timer.start(std::max(std::chrono::milliseconds(0), m_answerTimeout - waited));
}

qsizetype InFlight::indexOf(const QByteArray& backupPath) const
{
    for (qsizetype i = 0; i < m_messages.size(); ++i) {
        if (m_messages[i].backupPath == backupPath)
            return i;
    }
    return -1;
}

QList<SendJournal::Open> InFlight::stillOpen() const
{
    QList<SendJournal::Open> open;
    for (const Message& m : m_messages) {
        if (!m.outboxPath.isEmpty())
            open.append({ m.backupPath, m.outboxPath, m.moved });
    }
    return open;
}

QList<MessageFate> InFlight::openJournal(const QByteArray& dir, const Clock& clock)
{
    return m_journal.open(dir, clock);
}

bool InFlight::beginMessage(const QByteArray& backupPath, const QByteArray& outboxPath)
{
    // A backup name still waiting for its answer: the move would fail.
    if (indexOf(backupPath) >= 0)
        return false;
    m_journal.recordSending(backupPath, outboxPath);
    Message m;
    m.backupPath = backupPath;
    m.outboxPath = outboxPath;
    m.outboxName = outboxPath.mid(outboxPath.lastIndexOf('/') + 1);
    m_messages.append(m);
    return true;
}

void InFlight::messageMoved(const QByteArray& backupPath)
{
    const qsizetype i = indexOf(backupPath);
    if (i < 0)
        return;
    m_messages[i].moved = true;
    m_journal.recordMoved(backupPath);
}

void InFlight::messageNotMoved(const QByteArray& backupPath)
{
    const qsizetype i = indexOf(backupPath);
    if (i < 0)
        return;
    m_messages.removeAt(i);
    m_journal.recordNotMoved(backupPath);
}

void InFlight::loginSent()
{
    const bool idle = !oldestWait();
    m_loginWaiting = true;
    m_loginSince.start();
    if (idle)
        armTimer();
}

void InFlight::messageSent(const QByteArray& backupPath, const QByteArray& outboxName)
{
    changing([&] {
        const bool idle = !oldestWait();
        qsizetype i = indexOf(backupPath);
        if (i < 0 || m_messages[i].sent) {
            // Sent without the journal's lines (the link on its own).
            Message m;
            m.backupPath = backupPath;
            m_messages.append(m);
            i = m_messages.size() - 1;
        }
        Message& m = m_messages[i];
        m.outboxName = outboxName;
        m.sent = true;
        m.since.start();
        if (idle)
            armTimer();
    });
}

InFlight::Request InFlight::answer()
{
    if (std::exchange(m_loginWaiting, false)) {
        armTimer();
        return {};
    }
    Request answered;
    changing([&] {
        for (qsizetype i = 0; i < m_messages.size(); ++i) {
            if (!m_messages[i].sent)
                continue;
            answered = { m_messages[i].backupPath, m_messages[i].outboxName };
            // Out of the wait now; still open in the journal until settled.
            m_messages[i].sent = false;
            m_messages[i].since.invalidate();
            break;
        }
        armTimer();
    });
    return answered;
}

void InFlight::settle(const MessageFate& fate)
{
    // Told even when the journal fails on the way: the fate is known.
    std::optional<SmsError> failure;
    if (const qsizetype i = indexOf(fate.backupPath); i >= 0) {
        changing([&] { m_messages.removeAt(i); });
        armTimer();
        try {
            m_journal.recordSettled(fate.backupPath, stillOpen());
        } catch (const SmsError& e) {
            failure = e;
        }
    }
    Q_EMIT messageSettled(fate);
    if (failure)
        throw *failure;
}

QList<MessageFate> InFlight::abandon()
{
    QList<MessageFate> fates;
    changing([&] {
        for (Message& m : m_messages) {
            if (!m.sent)
                continue;
            m.sent = false;
            MessageFate fate;
            fate.backupPath = m.backupPath;
            fate.outboxName = m.outboxName;
            fates.append(fate);
        }
    });
    m_loginWaiting = false;
    m_timer.stop();
    return fates;
}
