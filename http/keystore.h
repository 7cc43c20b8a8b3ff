#pragma once

#include "dirsync.h"

#include <QByteArray>

#include <atomic>

// Idempotency keys, kept as one small file per key in a folder beside the
// message files, so that every front on the outbox, before and after a
// restart, agrees. A key is claimed by link(), which only one process can
// win; the claim holds the request's fingerprint until the answer's ID
// replaces it. Key files older than two days are removed.
class KeyStore
{
public:
    // The folder inside the outbox; hidden, and with no message kind's
    // extension, so the sender's search passes it by.
    static constexpr const char* FolderName = ".marlek-sms-http-keys";
    // A claim older than this was left by a front that died mid-request.
    static constexpr qint64 AbandonedSeconds = 60;
    static constexpr qint64 KeepSeconds = 48 * 3600;

    explicit KeyStore(const QByteArray& outboxDir);
    // Makes the folder if need be; false when it cannot.
    bool open();

    struct Claim
    {
        enum Outcome { Owned, Replay, InProgress, Conflict, Failed } outcome = Failed;
        QByteArray id; // Replay: the first answer's ID
    };
    // scope: the token's name. fingerprint: the request's fields.
    Claim claim(const QByteArray& scope, const QByteArray& key, const QByteArray& fingerprint);
    // The claimed request was answered with id: on the disk before it returns.
    bool complete(const QByteArray& scope, const QByteArray& key, const QByteArray& fingerprint, const QByteArray& id);
    // The claimed request failed: the key is free again.
    void release(const QByteArray& scope, const QByteArray& key);
    // Removes the keys older than KeepSeconds; how many.
    int prune();

private:
    QByteArray pathOf(const QByteArray& scope, const QByteArray& key) const;
    QByteArray tempPath() const;

    QByteArray m_dir;
    DirectorySync m_sync;
    mutable std::atomic<quint64> m_sequence { 0 };
};
