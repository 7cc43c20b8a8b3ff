#pragma once

#include <QByteArray>

// What became of one message record: told once per message, when its reply
// comes, when the link stops before it, or at the next start after a crash.
struct MessageFate
{
    enum Outcome { Accepted, Refused, Unanswered };

    Outcome outcome = Unanswered;
    QByteArray backupPath; // the backup path as built
    QByteArray outboxName; // the file's name in the outbox before the move
    char resultCode = 0; // the gateway's result character; 0 when unanswered
    QByteArray counter; // the gateway's counter text; empty when unanswered

    static const char* outcomeName(Outcome o)
    {
        switch (o) {
        case Accepted:
            return "accepted";
        case Refused:
            return "refused";
        case Unanswered:
            break;
        }
        return "unanswered";
    }
};
