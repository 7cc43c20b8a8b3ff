#pragma once

#include "ledger.h"

#include <QByteArray>
#include <QString>

#include <optional>

// Putting a message whose fate is known back into the outbox, as a new
// submission, and the names submissions get. marlek-sms and the Messages
// window share the rule.
namespace Requeue {

// The fates after which the gateway surely does not have the message: the
// only ones a message is put back after without being forced.
bool mayRequeue(Ledger::Outcome outcome);

// The newest ledger line about name (ledger.h's isAbout) in the working
// directory dir, read from the ledger's end; nothing when there is none.
std::optional<Ledger::Line> newestFate(const QByteArray& dir, const QByteArray& name);

// Submission names for one process: a zero-padded UTC time stamp to the
// microsecond, the process id and a sequence number, then the extension.
// They never repeat and sort (as bytes) in the order they were made, even
// when the clock steps back.
class Names
{
public:
    explicit Names(qint64 pid);
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

struct Result
{
    enum Code {
        Queued, // put back under name
        LeftAlone, // its fate may mean the gateway has it
        NotAMessage, // not named as a message file
        Unreadable, // the backup file cannot be read
        CannotWrite,
    };
    Code code = CannotWrite;
    QByteArray name; // the new name in the outbox, when queued
    QString text; // why not, for the operator
};

// Puts the backup file given (a path, or a name the ledger knows) back into
// outboxDir under a new name, whole or not at all. Without force only when
// the newest fate about it is one mayRequeue() allows. The file is read as
// given, else where the ledger puts it, relative to dir.
Result requeue(const QByteArray& dir, const QByteArray& outboxDir, const QByteArray& given, bool force, Names& names);

} // namespace Requeue
