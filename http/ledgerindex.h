#pragma once

#include "ledger.h"

#include <QByteArray>
#include <QHash>
#include <QList>

#include <atomic>
#include <optional>
#include <shared_mutex>

// The ledgers of the senders' working directories, indexed by outbox name,
// so a lookup costs the same however long they are. Only the bytes
// appended since the last refresh are read; a rotated ledger is read to
// its end through the descriptor still open on it, then the new one from
// its start. The index holds where each name's last line is, not the line:
// a lookup reads that one line back.
class LedgerIndex
{
public:
    explicit LedgerIndex(const QList<QByteArray>& workdirs);
    ~LedgerIndex();
    LedgerIndex(const LedgerIndex&) = delete;
    LedgerIndex& operator=(const LedgerIndex&) = delete;

    // Reads what was appended (and rotated) since; thread-safe.
    void refresh();
    // Forgets the lines of rotated ledgers someone removed, and closes them,
    // so their space is given back; thread-safe.
    void dropRemoved();
    // The last line about the outbox name; refreshes once when not found.
    std::optional<Ledger::Line> find(const QByteArray& outboxName);
    // The newest lines, newest first, at most n.
    QList<Ledger::Line> recent(int n) const;
    // Lines read since the start (not counting those there at the start).
    qint64 linesSinceStart() const { return m_newLines.load(); }
    qsizetype size() const;

private:
    struct Location
    {
        qint64 offset;
        quint32 file; // index into m_fds
        quint32 length;
    };
    struct Source
    {
        QByteArray dir;
        int fd = -1; // the current ledger, or -1
        quint64 device = 0;
        quint64 inode = 0;
        qint64 offset = 0; // end of the last whole line read
        quint32 file = 0; // its index in m_fds
    };
    void readSource(Source* source, bool initial);
    void readFile(quint32 file, qint64* offset, bool initial);
    std::optional<Ledger::Line> lineAt(const Location& where) const;

    QList<Source> m_sources;
    QList<int> m_fds; // every file read, rotated ones kept open
    QHash<quint64, Location> m_names; // by a 64-bit hash of the outbox name
    QList<Ledger::Line> m_recent; // ring of the newest lines
    qsizetype m_recentNext = 0;
    std::atomic<qint64> m_newLines { 0 };
    static constexpr qint64 FreshMs = 20;
    std::atomic<qint64> m_lastRefreshMs { 0 };
    mutable std::shared_mutex m_lock;
};
