#pragma once

#include "statusfile.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <cstdio>
#include <optional>

// marlek-sms: hands the sender one message safely, and reads what the sender
// tells other programs (its status file and its ledger of fates). Qt Core
// only; the pieces the tests check on their own are declared here.
namespace SmsTool {

// Exit codes besides the commands' own: those of sysexits.h.
enum Exit { Usage = 64, DataError = 65, NoInput = 66, CannotCreate = 73, NoConfig = 78 };

// What send refuses, or empty: the destination (1 to 15 characters, digits
// with an optional leading "+"), the sender (1 to 15 characters), the text
// (at most 160 bytes), no line breaks, every character in the gateway's
// code page.
QString checkMessage(const QString& to, const QString& from, const QString& text);

// Submission names for one process: a zero-padded UTC time stamp to the
// microsecond, the process id and a sequence number, then the extension.
// They never repeat and sort (as bytes) in the order they were made, even
// when the clock steps back.
class SubmissionNames
{
public:
    explicit SubmissionNames(qint64 pid);
    QByteArray next(const QByteArray& extension);
    // The same at a given time, in microseconds since the epoch.
    QByteArray next(const QByteArray& extension, qint64 micros);

private:
    qint64 m_pid;
    qint64 m_lastMicros = 0;
    int m_sequence = 0;
};

// The temporary name a submission is written under first: hidden, and
// ending in no message kind's extension, so no outbox search takes it.
QByteArray temporaryName(const QByteArray& name);

// The status command's verdict, as monitoring plugins give it.
struct Verdict
{
    int code = 3; // 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN
    QString summary;
};
// lockHeld: the folder's lock is held by a running program.
Verdict judge(const SenderStatus& status, bool lockHeld, const QDateTime& now, qint64 maxAgeSeconds);
// The status for a person, after the verdict's line.
QString describe(const SenderStatus& status, const QDateTime& now);

// Whether the program that holds the folder's lock file runs; nothing when
// the lock file is there but cannot be read.
std::optional<bool> lockHeld(const QByteArray& dir);

// Runs the command line (the program's name first); the exit code.
int run(const QStringList& arguments, std::FILE* in, std::FILE* out, std::FILE* err);

} // namespace SmsTool
