#pragma once

#include "statusfile.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

// Whether a sender runs and is well, from its status file and the folder's
// lock: the status command's verdict, which the HTTP front gives too.
namespace SenderVerdict {

// A status file older than this while the lock is held: the program may hang.
constexpr qint64 StaleStatusSeconds = 120;

// The verdict as monitoring plugins give it.
struct Verdict
{
    int code = 3; // 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN
    QString summary;
};
// lockHeld: the folder's lock is held by a running program.
Verdict judge(const SenderStatus& status, bool lockHeld, const QDateTime& now, qint64 maxAgeSeconds);
// The status for a person, after the verdict's line.
QString describe(const SenderStatus& status, const QDateTime& now);
// Whether the status file is too old to be believed while the lock is held.
bool isStale(const SenderStatus& status, const QDateTime& now);

// Whether the program that holds the folder's lock file runs; nothing when
// the lock file is there but cannot be read.
std::optional<bool> lockHeld(const QByteArray& dir);

} // namespace SenderVerdict
