#pragma once

#include "fsutil.h"
#include "messagefate.h"

#include <QByteArray>
#include <QList>

// The crash journal: which messages this working directory sent and has not
// yet heard back about, kept on disk so that a run that dies still names
// them at the next start. Append-only lines:
//   "S <backup>\t<outbox path>"  about to move and send (on the disk first)
//   "M <backup>"                 moved out of the outbox
//   "X <backup>"                 the move failed: nothing was sent
//   "A <backup>"                 answered, or named "No reply for"
class SendJournal
{
public:
    static constexpr const char* FileName = "SmsSender.journal";

    // Opens the journal in dir (empty: the working directory) and returns the
    // messages an earlier run sent without an answer, which the caller names
    // and then drops with clearRecovered(). A move the earlier run did not
    // finish is undone, and that message, still in the outbox, is not
    // returned. Throws when the journal cannot be opened (every later send
    // then fails too) or was damaged (set aside under a new name, not read).
    QList<MessageFate> open(const QByteArray& dir);
    // Empties the journal once the recovered messages are named.
    void clearRecovered();

    // Whether open() was called: without it nothing is journaled (tests).
    bool isActive() const { return m_active; }
    const QByteArray& path() const { return m_path; }

    // Before a message leaves the outbox: on the disk before this returns.
    // Throws when that cannot be done; the message must then not be sent.
    // False, writing nothing, when the backup name is one still in flight.
    bool recordSending(const QByteArray& backupPath, const QByteArray& outboxPath);
    void recordMoved(const QByteArray& backupPath);
    void recordNotMoved(const QByteArray& backupPath);
    // The message's fate is known and told; it will not be named again.
    void settle(const MessageFate& fate);

    qsizetype openEntries() const { return m_open.size(); }

    // Past this size the journal is rewritten with its open entries only
    // (emptied when there are none), so a long run does not grow it.
    void setCompactSize(qint64 bytes) { m_compactSize = bytes; }

private:
    void write(char kind, const QByteArray& backupPath, bool sync);
    void compact();

    struct Open
    {
        QByteArray backupPath;
        QByteArray outboxPath;
        bool moved = false;
    };
    QList<MessageFate> recover(const QByteArray& text, bool* damaged);
    qsizetype indexOf(const QByteArray& backupPath) const;

    Fs::AppendFile m_file;
    QByteArray m_path;
    bool m_active = false;
    // In the order sent, so that a compacted journal names them in that
    // order too; short, since the unanswered records are bounded.
    QList<Open> m_open;
    qint64 m_compactSize = 1024 * 1024;
};
