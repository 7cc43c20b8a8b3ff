#include "command.h"

#include "ledger.h"
#include "paths.h"
#include "settings.h"
#include "smserror.h"

#include <QCoreApplication>
#include <QFile>

namespace SmsTool {

namespace {

const char* const UsageText = R"(Usage: marlek-sms COMMAND [OPTIONS] [ARGUMENTS]

Hands the MARLEK SMS sender a message, and tells what the sender is doing.

Commands:
  send --to NUMBER --from SENDER [--kind normal|flash|logo|ring] [--workdir DIR] [--wait[=SECONDS]] [TEXT]
        Puts one message into the sender's outbox and prints its name there.
  status [--workdir DIR] [--json] [--max-age SECONDS]
        Tells whether the sender runs and is logged in, as monitoring plugins do.
  result [--workdir DIR] NAME
        Prints the ledger's lines for an outbox name or a backup file.
  requeue [--workdir DIR] [--force] BACKUP-FILE...
        Puts refused messages back into the outbox.
  pause [--workdir DIR]
        Stops the sender taking files from the outbox, until resume.
  resume [--workdir DIR]
        Lets a paused sender take files again.
  drain [--workdir DIR]
        Takes no more files, waits for every answer, and ends the sending.
  token add NAME [--tokens FILE]
        Makes a token for a client of the HTTP front marlek-sms-http.

DIR is the sender's working directory (default: the current folder).
"marlek-sms COMMAND --help" tells more; so does the manual page marlek-sms(1).
)";

struct Subcommand
{
    const char* name;
    int (*run)(const Streams& io, const QStringList& arguments);
};

constexpr Subcommand Subcommands[] = {
    { "send", sendCommand },
    { "status", statusCommand },
    { "result", resultCommand },
    { "requeue", requeueCommand },
    { "token", tokenCommand },
    { "pause", pauseCommand },
    { "resume", resumeCommand },
    { "drain", drainCommand },
};

} // namespace

Arguments parseArguments(const QStringList& arguments, const QList<Option>& options)
{
    Arguments parsed;
    bool optionsDone = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& arg = arguments[i];
        if (optionsDone || !arg.startsWith(u'-') || arg == u"-") {
            parsed.positional.append(arg);
            continue;
        }
        if (arg == u"--") {
            optionsDone = true;
            continue;
        }
        const qsizetype eq = arg.indexOf(u'=');
        const QString name = (eq < 0 ? arg : arg.left(eq)).mid(arg.startsWith(u"--") ? 2 : 1);
        const Option* option = nullptr;
        for (const Option& o : options) {
            if (name == QLatin1String(o.name))
                option = &o;
        }
        if (name == u"h")
            option = &options.constFirst(); // --help comes first
        if (!option) {
            parsed.error = QStringLiteral("unknown option '%1'").arg(arg);
            return parsed;
        }
        const QString key = QLatin1String(option->name);
        switch (option->kind) {
        case Option::Flag:
            if (eq >= 0) {
                parsed.error = QStringLiteral("--%1 takes no value").arg(key);
                return parsed;
            }
            parsed.values.insert(key, QString());
            break;
        case Option::OptionalValue:
            parsed.values.insert(key, eq < 0 ? QString() : arg.mid(eq + 1));
            break;
        case Option::Value:
            if (eq >= 0) {
                parsed.values.insert(key, arg.mid(eq + 1));
            } else if (i + 1 < arguments.size()) {
                parsed.values.insert(key, arguments[++i]);
            } else {
                parsed.error = QStringLiteral("--%1 needs a value").arg(key);
                return parsed;
            }
            break;
        }
    }
    return parsed;
}

std::optional<qint64> seconds(const QString& text, qint64 min)
{
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    if (!ok || value < min)
        return std::nullopt;
    return value;
}

Command::Command(const Streams& io)
    : m_io(io)
{
}

int Command::fail(int code, const QString& text)
{
    std::fprintf(m_io.err, "marlek-sms: %s\n", text.toLocal8Bit().constData());
    return code;
}

int Command::usage(const QString& text)
{
    return fail(Usage, text + QStringLiteral(" (see marlek-sms --help)"));
}

void Command::print(const QByteArray& text)
{
    std::fwrite(text.constData(), 1, size_t(text.size()), m_io.out);
    std::fflush(m_io.out);
}

std::optional<Arguments> Command::parse(
    const QStringList& arguments, const QList<Option>& options, const QByteArray& help, int* code)
{
    const Arguments args = parseArguments(arguments, options);
    if (!args.error.isEmpty()) {
        *code = usage(args.error);
        return std::nullopt;
    }
    if (args.isSet("help")) {
        print(help);
        *code = 0;
        return std::nullopt;
    }
    if (!takeWorkdir(args)) {
        *code = usage(QStringLiteral("--workdir: give a folder"));
        return std::nullopt;
    }
    return args;
}

bool Command::takeWorkdir(const Arguments& args)
{
    if (!args.isSet("workdir"))
        return true;
    if (args.value("workdir").isEmpty())
        return false;
    m_dir = QFile::encodeName(args.value("workdir"));
    return true;
}

std::optional<QByteArray> Command::outbox(int* code)
{
    const QByteArray file = joinDir(m_dir, SettingsStore::FileName);
    SettingsStore settings;
    try {
        if (!settings.load(file)) {
            *code = fail(NoConfig, QStringLiteral("no settings file %1").arg(QFile::decodeName(file)));
            return std::nullopt;
        }
    } catch (const SmsError& e) {
        *code = fail(NoConfig, QStringLiteral("%1: %2").arg(QFile::decodeName(file), e.text()));
        return std::nullopt;
    }
    // A relative outbox is the sender's, in its working directory.
    const QByteArray dir = settings.values().outboxDir;
    return dir.startsWith('/') ? dir : joinDir(m_dir, dir);
}

int outcomeExit(Ledger::Outcome outcome)
{
    switch (outcome) {
    case Ledger::Outcome::Accepted:
        return 0;
    case Ledger::Outcome::Refused:
        return 1;
    case Ledger::Outcome::Unanswered:
        return 2;
    case Ledger::Outcome::Expired:
        break;
    }
    return 4;
}

int run(const QStringList& arguments, std::FILE* in, std::FILE* out, std::FILE* err)
{
    const QString name = arguments.value(1);
    const QStringList rest = arguments.mid(2);
    if (name == u"--help" || name == u"-h") {
        std::fputs(UsageText, out);
        return 0;
    }
    if (name == u"--version") {
        std::fprintf(out, "marlek-sms %s\n", qPrintable(QCoreApplication::applicationVersion()));
        return 0;
    }
    for (const Subcommand& command : Subcommands) {
        if (name == QLatin1String(command.name))
            return command.run({ in, out, err }, rest);
    }
    std::fputs(UsageText, err);
    if (!name.isEmpty())
        std::fprintf(err, "marlek-sms: no command '%s'\n", name.toLocal8Bit().constData());
    return Usage;
}

} // namespace SmsTool
