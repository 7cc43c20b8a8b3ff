#pragma once

#include "ledger.h"

#include <QByteArray>

// What became of one message record: told once per message, when its reply
// comes, when the link stops before it, or at the next start after a crash.
struct MessageFate
{
    // In the order of Ledger::Outcome.
    enum Outcome { Accepted, Refused, Unanswered, Expired };

    Outcome outcome = Unanswered;
    QByteArray backupPath; // the backup path as built
    QByteArray outboxName; // the file's name in the outbox before the move
    char resultCode = 0; // the gateway's result character; 0 when unanswered
    QByteArray counter; // the gateway's counter text; empty when unanswered

    static const char* outcomeName(Outcome o) { return Ledger::outcomeName(Ledger::Outcome(o)); }
};
