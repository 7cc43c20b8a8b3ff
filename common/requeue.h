#pragma once

#include "ledger.h"
#include "submission.h"

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

// The names a requeued file gets, as marlek-sms send gives them.
using Names = Submission::SubmissionNames;

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
