#pragma once

#include "fsutil.h"
#include "messagekind.h"
#include "record.h"
#include "timestamp.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QSet>
#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class Clock;
class OutboxIndex;

// A file's identity for passing it over while it stays unchanged.
struct FileStamp
{
    qint64 size = -1;
    qint64 mtimeNs = -1;
    bool operator==(const FileStamp&) const = default;
};

// Returns the stamp of a path, or a default stamp when it cannot be read.
FileStamp fileStamp(const QByteArray& path);

class Outbox
{
public:
    // The clock tells a file's age, and when a file was queued.
    explicit Outbox(const Clock& clock = Clock::system());
    ~Outbox();

    // Entries the search read from the directory on the last call: none when
    // the index answered.
    qsizetype lastWalkVisited() const { return m_visited; }

    // The name (no directory) of one file to send, or empty: the first name
    // in byte order of the first kind in search order that has any file.
    // Matching is case-sensitive. An index kept by change notifications
    // answers; it is filled by one full scan when the directory is first
    // asked for (or another one is), and is empty until a large scan ends.
    // Where notifications cannot be trusted (a network file system, a watch
    // that cannot be set) the directory is walked instead. Files marked with
    // passOver() are skipped while their stamp is unchanged; files found
    // still being written come only when no other file is waiting.
    QByteArray findNextMessageFile(const QByteArray& outboxDir);

    // Tells network file systems, where the directory is walked on every
    // search; the default asks the system.
    void setFileSystemProbe(std::function<bool(const QByteArray& dir)> isNetwork);
    // Whether the last search walked the directory instead of asking the index.
    bool lastSearchWalked() const { return m_walked; }
    // Full scans of the index so far (a test and benchmark hook).
    qsizetype fullScans() const;
    // Names the index holds now.
    qsizetype indexedCount() const;

    // The files waiting in the outbox, by kind in search order.
    struct Queue
    {
        std::array<qint64, 4> counts {};
        // When the longest-waiting file was queued (seconds since the epoch);
        // not known where the directory is walked.
        std::optional<qint64> oldestQueued;
    };
    // From the index (the outbox is followed from here on, as a search
    // would); nothing while its first scan runs. Where the directory is
    // walked, the counts of a search's walk in the last second, else of a
    // counting walk made here.
    std::optional<Queue> queue(const QByteArray& outboxDir);
    // Told whenever the files waiting may have changed (from the index's
    // change notifications; a walked outbox tells nothing).
    void setQueueListener(std::function<void()> listener) { m_queueListener = std::move(listener); }

    // The file's three lines. Throws "Cannot open file %s" and
    // "List index out of bounds (%d)". Waiting, reading nothing, while
    // another process holds the file open for writing; Gone when nothing is
    // under the name any more (another sender took the file).
    enum class Read { Yes, Waiting, Gone };
    Read readMessageFile(const QByteArray& outboxDir, const QByteArray& name, GatewayRecord::Message* message);

    // Backup directory + "SmsFile_" + time stamp + extension.
    static QByteArray backupName(const QByteArray& backupDir, const QByteArray& extension, const Clock& clock);
    static QByteArray backupName(const QByteArray& backupDir, const QByteArray& extension, const QDateTime& at);

    // Moves the outbox file to its backup name. Failed if the move failed
    // (a name that exists already is never overwritten) or the backup name
    // lies in the outbox itself; Gone when another sender took the file.
    static Fs::Moved archiveMessageFile(
        const QByteArray& outboxDir, const QByteArray& name, const QByteArray& backupPath);

    // The first file whose lease was refused for lack of rights (another
    // user's file, no CAP_LEASE), once per Outbox: such files fall back to
    // the age check. Empty when there is none, or it was taken already.
    QByteArray takeLeaseRefusal();

    // Skips the file on later searches until it changes.
    void passOver(const QByteArray& outboxDir, const QByteArray& name);
    qsizetype passedOverCount() const { return m_passedOver.size(); }

    // A test hook, run with each name a search returns and again once that
    // file is read: the moments another sender on the outbox may take it.
    enum class Step { Found, Read };
    void setStepHook(std::function<void(Step, const QByteArray& name)> hook) { m_stepHook = std::move(hook); }

private:
    QByteArray search(const QByteArray& outboxDir);
    void follow(const QByteArray& outboxDir);
    bool shouldPassOver(const QByteArray& outboxDir, const QByteArray& name);
    QByteArray walk(const QByteArray& outboxDir);
    QByteArray pickFromIndex(const QByteArray& outboxDir);

    QHash<QByteArray, FileStamp> m_passedOver;
    QSet<QByteArray> m_waiting; // found still being written
    qsizetype m_visited = 0;
    bool m_walked = false;
    std::function<bool(const QByteArray&)> m_isNetwork;
    const Clock& m_clock;
    std::unique_ptr<OutboxIndex> m_index;
    bool m_following = false;
    QByteArray m_leaseRefused;
    bool m_leaseRefusalSeen = false;
    std::function<void(Step, const QByteArray&)> m_stepHook;
    std::function<void()> m_queueListener;
    // The last walk's counts, and when and where it was made.
    std::array<qint64, 4> m_walkCounts {};
    std::chrono::steady_clock::time_point m_walkTime;
    QByteArray m_walkDir;
};

// The extension of a name from its last dot, the dot included; empty if none.
QByteArray extensionOf(const QByteArray& name);
