// marlek-sms requeue: messages whose fate is known back into the outbox, by
// the rule the Messages window follows too.
#include "command.h"

#include "requeue.h"

#include <QCoreApplication>
#include <QFile>

namespace SmsTool {

namespace {

const char* const RequeueHelp = R"(Usage: marlek-sms requeue [--workdir DIR] [--force] BACKUP-FILE...

Puts each refused or expired message back into the outbox under a new name,
whole or not at all, and prints that name. A message whose fate in the
ledger is accepted or unanswered, or that has none yet, may have reached the
gateway: it is left alone, unless --force.
Exit codes: 0 every message put back; 64 usage, 65 a message left alone or
no message file, 66 a backup file that cannot be read, 73 cannot write,
78 no settings file.
)";

class PutBack : public Command
{
public:
    using Command::Command;
    int run(const QStringList& arguments);

private:
    Requeue::Names m_names { QCoreApplication::applicationPid() };
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
        const Requeue::Result result
            = Requeue::requeue(m_dir, *dir, QFile::encodeName(file), args.isSet("force"), m_names);
        switch (result.code) {
        case Requeue::Result::Queued:
            print(result.name + '\n');
            continue;
        case Requeue::Result::LeftAlone:
            code = fail(DataError, result.text + QStringLiteral(" (--force puts it back all the same)"));
            break;
        case Requeue::Result::NotAMessage:
            code = fail(DataError, result.text);
            break;
        case Requeue::Result::Unreadable:
            code = fail(NoInput, result.text);
            break;
        case Requeue::Result::CannotWrite:
            // The outbox itself fails: the others would too.
            return fail(CannotCreate, result.text);
        }
        status = status ? status : code;
    }
    return status;
}

} // namespace

int requeueCommand(const Streams& io, const QStringList& arguments)
{
    return PutBack(io).run(arguments);
}

} // namespace SmsTool
