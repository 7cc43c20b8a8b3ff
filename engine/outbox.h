#pragma once

#include "record.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QSet>
#include <array>
#include <functional>

class Clock;

// The four kinds of message file, in the order the outbox is searched.
struct MessageKind
{
    const char* extension; // with its dot
    char command;
    const char* testChoice; // caption in the test-message window
};

namespace MessageKinds {
// Search order: ".sms", ".ring", ".lnol", ".flh".
extern const std::array<MessageKind, 4> searchOrder;
// The kind whose extension equals ext exactly, or nullptr.
const MessageKind* byExtension(const QByteArray& ext);
} // namespace MessageKinds

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
    // Entries the walk visited on the last search (a test hook for the
    // promise of one walk at most).
    qsizetype lastWalkVisited() const { return m_visited; }

    // The name (no directory) of one file to send, or empty. One walk of the
    // directory at most: the first ".sms" ends it, and the first of each other
    // kind is remembered on the way. Matching is case-sensitive. Files marked
    // with passOver() are skipped while their stamp is unchanged; files found
    // still being written come only when no other file is waiting.
    QByteArray findNextMessageFile(const QByteArray& outboxDir);

    // The file's three lines. Throws "Cannot open file %s" and
    // "List index out of bounds (%d)". Returns false, reading nothing, while
    // another process holds the file open for writing.
    bool readMessageFile(const QByteArray& outboxDir, const QByteArray& name, GatewayRecord::Message* message);

    // Backup directory + "SmsFile_" + time stamp + extension.
    static QByteArray backupName(const QByteArray& backupDir, const QByteArray& extension, const Clock& clock);

    // Moves the outbox file to its backup name; false if the move failed
    // (a name that exists already is never overwritten) or the backup name
    // lies in the outbox itself.
    static bool archiveMessageFile(const QByteArray& outboxDir, const QByteArray& name, const QByteArray& backupPath);

    // Skips the file on later searches until it changes.
    void passOver(const QByteArray& outboxDir, const QByteArray& name);
    void forget(const QByteArray& name) { m_passedOver.remove(name); }
    qsizetype passedOverCount() const { return m_passedOver.size(); }

private:
    bool shouldPassOver(const QByteArray& outboxDir, const QByteArray& name);

    QHash<QByteArray, FileStamp> m_passedOver;
    QSet<QByteArray> m_waiting; // found still being written
    qsizetype m_visited = 0;
};

// The extension of a name from its last dot, the dot included; empty if none.
QByteArray extensionOf(const QByteArray& name);
