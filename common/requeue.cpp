#include "requeue.h"

#include "fsutil.h"
#include "ledgerreader.h"
#include "messagekind.h"
#include "paths.h"

#include <QDateTime>
#include <QFile>

#include <chrono>

namespace Requeue {

bool mayRequeue(Ledger::Outcome outcome)
{
    switch (outcome) {
    // Never sent, or turned down: putting it back cannot send it twice.
    case Ledger::Outcome::Refused:
    case Ledger::Outcome::Expired:
        return true;
    case Ledger::Outcome::Accepted:
    case Ledger::Outcome::Unanswered:
        break;
    }
    return false;
}

std::optional<Ledger::Line> newestFate(const QByteArray& dir, const QByteArray& name)
{
    Ledger::BackwardReader reader(dir);
    QList<QByteArray> lines;
    while (reader.readOlder(&lines)) {
        for (const QByteArray& text : std::as_const(lines)) {
            const std::optional<Ledger::Line> line = Ledger::parse(text);
            if (line && Ledger::isAbout(*line, name))
                return line;
        }
        lines.clear();
    }
    return std::nullopt;
}

Result requeue(const QByteArray& dir, const QByteArray& outboxDir, const QByteArray& given, bool force, Names& names)
{
    const QString shown = QFile::decodeName(given);
    const std::optional<Ledger::Line> fate = newestFate(dir, given);
    if (!force) {
        if (!fate)
            return { Result::LeftAlone, {},
                QStringLiteral("%1: no fate in the ledger yet; the gateway may still get it").arg(shown) };
        if (!mayRequeue(fate->outcome))
            return { Result::LeftAlone, {},
                QStringLiteral("%1: its fate is %2; the gateway may already have it")
                    .arg(shown, QLatin1String(Ledger::outcomeName(fate->outcome))) };
    }
    // As given; else where the ledger says, from the sender's folder.
    QByteArray data;
    bool read = Fs::readFile(given, &data);
    if (!read && fate) {
        const QByteArray& backup = fate->backupPath;
        read = Fs::readFile(backup.startsWith('/') ? backup : joinDir(dir, backup), &data);
    }
    if (!read)
        return { Result::Unreadable, {}, QStringLiteral("cannot read %1").arg(shown) };
    const QByteArray fileName = given.mid(given.lastIndexOf('/') + 1);
    const QByteArray extension = fileName.mid(fileName.lastIndexOf('.'));
    if (fileName.lastIndexOf('.') < 0 || !MessageKinds::byExtension(extension))
        return { Result::NotAMessage, {},
            QStringLiteral("%1: not a message file (.sms, .ring, .lnol, .flh)").arg(shown) };
    // A name is never met twice; should one be there all the same, the next.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QByteArray name = names.next(extension);
        const QByteArray path = joinDir(outboxDir, name);
        switch (Fs::publishFile(joinDir(outboxDir, Submission::temporaryName(name)), path, data, Fs::creationMode())) {
        case Fs::Published::Yes:
            return { Result::Queued, name, {} };
        case Fs::Published::Exists:
            continue;
        case Fs::Published::Failed:
            return { Result::CannotWrite, {}, QStringLiteral("cannot write %1").arg(QFile::decodeName(path)) };
        }
    }
    return { Result::CannotWrite, {}, QStringLiteral("no free name in %1").arg(QFile::decodeName(outboxDir)) };
}

} // namespace Requeue
