// marlek-sms requeue: messages whose fate is known back into the outbox.
#include "command.h"

#include "fsutil.h"
#include "messagekind.h"
#include "paths.h"

#include <QFile>

namespace SmsTool {

namespace {

const char* const RequeueHelp = R"(Usage: marlek-sms requeue [--workdir DIR] [--force] BACKUP-FILE...

Puts each refused message back into the outbox under a new name, whole or
not at all, and prints that name. A message whose fate in the ledger is
accepted or unanswered, or that has none yet, may have reached the gateway:
it is left alone, unless --force.
Exit codes: 0 every message put back; 64 usage, 65 a message left alone or
no message file, 66 a backup file that cannot be read, 73 cannot write,
78 no settings file.
)";

class PutBack : public Command
{
public:
    using Command::Command;
    int run(const QStringList& arguments);
};

int PutBack::run(const QStringList& arguments)
{
    int code = 0;
    const std::optional<Arguments> parsed = parse(arguments,
        { { "help", Option::Flag }, { "workdir", Option::Value }, { "force", Option::Flag } }, RequeueHelp, &code);
    if (!parsed)
        return code;
    const Arguments& args = *parsed;
    if (args.positional.isEmpty())
        return usage(QStringLiteral("requeue needs a BACKUP-FILE"));
    const std::optional<QByteArray> dir = outbox(&code);
    if (!dir)
        return code;
    int status = 0;
    for (const QString& file : args.positional) {
        const QByteArray given = QFile::encodeName(file);
        const QList<Ledger::Line> fates = fatesOf(given);
        const char* forceHint = " (--force puts it back all the same)";
        if (!args.isSet("force")) {
            QString refusal;
            if (fates.isEmpty())
                refusal = QStringLiteral("%1: no fate in the ledger yet; the gateway may still get it");
            else if (fates.constLast().outcome != Ledger::Outcome::Refused)
                refusal = QStringLiteral("%1: its fate is %2; the gateway may already have it")
                              .arg(u"%1", QLatin1String(Ledger::outcomeName(fates.constLast().outcome)));
            if (!refusal.isEmpty()) {
                const int c = fail(DataError, refusal.arg(file) + QLatin1String(forceHint));
                status = status ? status : c;
                continue;
            }
        }
        // As given; else where the ledger says, from the sender's folder.
        QByteArray data;
        bool read = Fs::readFile(given, &data);
        if (!read && !fates.isEmpty()) {
            const QByteArray backup = fates.constLast().backupPath;
            read = Fs::readFile(backup.startsWith('/') ? backup : joinDir(m_dir, backup), &data);
        }
        if (!read) {
            const int c = fail(NoInput, QStringLiteral("cannot read %1").arg(file));
            status = status ? status : c;
            continue;
        }
        const QByteArray fileName = given.mid(given.lastIndexOf('/') + 1);
        const QByteArray extension = fileName.mid(fileName.lastIndexOf('.'));
        if (fileName.lastIndexOf('.') < 0 || !MessageKinds::byExtension(extension)) {
            const int c
                = fail(DataError, QStringLiteral("%1: not a message file (.sms, .ring, .lnol, .flh)").arg(file));
            status = status ? status : c;
            continue;
        }
        const std::optional<QByteArray> name = publish(*dir, extension, data, &code);
        if (!name)
            return code;
        print(*name + '\n');
    }
    return status;
}

} // namespace

int requeueCommand(const Streams& io, const QStringList& arguments)
{
    return PutBack(io).run(arguments);
}

} // namespace SmsTool
