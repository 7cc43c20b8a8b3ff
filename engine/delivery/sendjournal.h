#pragma once

#include "fsutil.h"
#include "messagefate.h"
#include "timestamp.h"

#include <QByteArray>
#include <QList>

// The crash journal: which messages this working directory sent and has not
// yet heard back about, kept on disk so that a run that dies still names
// them at the next start. It only writes and reads the file; which messages
// are open is InFlight's to know. Append-only lines:
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
    // The clock stamps the name a damaged journal is set aside under.
    QList<MessageFate> open(const QByteArray& dir, const Clock& clock = Clock::system());
    // Empties the journal once the recovered messages are named, when
    // nothing was sent meanwhile.
    void clearRecovered(bool nothingOpen);

    const QByteArray& path() const { return m_path; }

    // One message still open, as a compacted journal writes it again.
    struct Open
    {
        QByteArray backupPath;
        QByteArray outboxPath;
        bool moved = false;
    };

    // Before a message leaves the outbox: on the disk before this returns.
    // Throws when that cannot be done; the message must then not be sent.
    void recordSending(const QByteArray& backupPath, const QByteArray& outboxPath);
    void recordMoved(const QByteArray& backupPath);
    void recordNotMoved(const QByteArray& backupPath);
    // The message's fate is known and told; it will not be named again.
    // Past the compaction size the journal is written anew with the
    // messages still open.
    void recordSettled(const QByteArray& backupPath, const QList<Open>& stillOpen);

    // Past this size the journal is rewritten with its open entries only
    // (emptied when there are none), so a long run does not grow it.
    void setCompactSize(qint64 bytes) { m_compactSize = bytes; }

private:
    void write(char kind, const QByteArray& backupPath, bool sync);
    void compact(const QList<Open>& stillOpen);
    QList<MessageFate> recover(const QByteArray& text, bool* damaged);

    Fs::AppendFile m_file;
    QByteArray m_path;
    bool m_active = false;
    qint64 m_compactSize = 1024 * 1024;
};
