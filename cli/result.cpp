// marlek-sms result: the ledger's lines about one message.
#include "command.h"

#include "fsutil.h"

#include <QFile>

namespace SmsTool {

namespace {

const char* const ResultHelp = R"(Usage: marlek-sms result [--workdir DIR] NAME

Prints the lines of the sender's ledger of fates (SmsSender.results and its
rotated files, in DIR) about NAME: a name the message had in the outbox, or
its backup file (the path, or the file's name alone).
Exit codes, from the last line: 0 accepted, 1 refused, 2 unanswered,
3 none yet, 4 expired.
)";

class Result : public Command
{
public:
    using Command::Command;
    int run(const QStringList& arguments);

private:
    // Every ledger line about name, oldest first.
    QList<Ledger::Line> fatesOf(const QByteArray& name) const;
};

int Result::run(const QStringList& arguments)
{
    int code = 0;
    const std::optional<Arguments> parsed
        = parse(arguments, { { "help", Option::Flag }, { "workdir", Option::Value } }, ResultHelp, &code);
    if (!parsed)
        return code;
    const Arguments& args = *parsed;
    if (args.positional.size() != 1)
        return usage(QStringLiteral("result needs one NAME"));
    const QByteArray name = QFile::encodeName(args.positional.constFirst());
    const QList<Ledger::Line> fates = fatesOf(name);
    if (fates.isEmpty())
        return fail(3, QStringLiteral("%1: no fate yet").arg(args.positional.constFirst()));
    for (const Ledger::Line& line : fates)
        print(Ledger::format(line));
    return outcomeExit(fates.constLast().outcome);
}

QList<Ledger::Line> Result::fatesOf(const QByteArray& name) const
{
    QList<Ledger::Line> found;
    for (const QByteArray& path : Ledger::files(m_dir)) {
        QByteArray data;
        if (!Fs::readFile(path, &data))
            continue;
        for (const QByteArray& text : data.split('\n')) {
            const std::optional<Ledger::Line> line = Ledger::parse(text);
            if (line && Ledger::isAbout(*line, name))
                found.append(*line);
        }
    }
    return found;
}

} // namespace

int resultCommand(const Streams& io, const QStringList& arguments)
{
    return Result(io).run(arguments);
}

} // namespace SmsTool
