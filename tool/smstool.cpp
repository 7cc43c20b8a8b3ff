#include "smstool.h"

#include "codepage.h"
#include "fsutil.h"
#include "ledger.h"
#include "messagekind.h"
#include "paths.h"
#include "processutil.h"
#include "settings.h"
#include "smserror.h"
#include "textfile.h"
#include "timestamp.h"
#include "tokencmd.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QHash>
#include <QLockFile>
#include <QSysInfo>
#include <QThread>

#include <chrono>

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
  token add NAME [--tokens FILE]
        Makes a token for a client of the HTTP front marlek-sms-http.

DIR is the sender's working directory (default: the current folder).
"marlek-sms COMMAND --help" tells more; so does the manual page marlek-sms(1).
)";

const char* const SendHelp = R"(Usage: marlek-sms send --to NUMBER --from SENDER [--kind normal|flash|logo|ring]
                       [--workdir DIR] [--wait[=SECONDS]] [TEXT]

Writes one message file into the outbox named by the settings file in DIR
(default: the current folder), whole or not at all, and prints its name.
The text comes from standard input when TEXT is not given; one final line
break is dropped. The destination is 1 to 15 characters, digits with an
optional leading "+"; the sender 1 to 15 characters; the text at most 160
bytes; no line breaks; every character in the gateway's code page (Latin-1).

--wait waits for the message's fate in the ledger (default 120 s).
Exit codes: 0 queued (with --wait: accepted), 1 refused, 2 unanswered,
3 not settled in time; 64 usage, 65 bad message, 73 cannot write the file,
78 no settings file.
)";

const char* const StatusHelp = R"(Usage: marlek-sms status [--workdir DIR] [--json] [--max-age SECONDS]

Reads the sender's status file in DIR (default: the current folder) and
prints it for a person, or as it is with --json.
Exit codes, as monitoring plugins give them:
  0 OK        running and logged in
  1 WARNING   running but not logged in, or the oldest queued file older than
              --max-age (default 300 s)
  2 CRITICAL  not running (the folder's lock is free), or the status file is
              older than two minutes while the lock is held
  3 UNKNOWN   no status file: the sender never ran in that folder
)";

const char* const ResultHelp = R"(Usage: marlek-sms result [--workdir DIR] NAME

Prints the lines of the sender's ledger of fates (SmsSender.results and its
rotated files, in DIR) about NAME: a name the message had in the outbox, or
its backup file (the path, or the file's name alone).
Exit codes, from the last line: 0 accepted, 1 refused, 2 unanswered,
3 none yet.
)";

const char* const RequeueHelp = R"(Usage: marlek-sms requeue [--workdir DIR] [--force] BACKUP-FILE...

Puts each refused message back into the outbox under a new name, whole or
not at all, and prints that name. A message whose fate in the ledger is
accepted or unanswered, or that has none yet, may have reached the gateway:
it is left alone, unless --force.
Exit codes: 0 every message put back; 64 usage, 65 a message left alone or
no message file, 66 a backup file that cannot be read, 73 cannot write,
78 no settings file.
)";

constexpr qint64 DefaultWaitSeconds = 120;
constexpr qint64 DefaultMaxAge = 300;

struct Option
{
    const char* name;
    enum Kind { Flag, Value, OptionalValue } kind;
};

struct Arguments
{
    QHash<QString, QString> values; // options given, with their values
    QStringList positional;
    QString error;
    bool isSet(const char* name) const { return values.contains(QLatin1String(name)); }
    QString value(const char* name) const { return values.value(QLatin1String(name)); }
};

// --name VALUE and --name=VALUE; an optional value only with "="; "--" ends
// the options.
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

// A whole number of seconds, at least min; nothing when it is not one.
std::optional<qint64> seconds(const QString& text, qint64 min)
{
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    if (!ok || value < min)
        return std::nullopt;
    return value;
}

class Command
{
public:
    Command(std::FILE* in, std::FILE* out, std::FILE* err)
        : m_in(in)
        , m_out(out)
        , m_err(err)
    {
    }

    int send(const QStringList& arguments);
    int status(const QStringList& arguments);
    int result(const QStringList& arguments);
    int requeue(const QStringList& arguments);

private:
    int fail(int code, const QString& text);
    int usage(const QString& text);
    void print(const QByteArray& text);
    // Reads --workdir, or says why not; true when the command may go on.
    bool takeWorkdir(const Arguments& args);
    // The outbox named by the settings file in the working directory, or
    // the exit code (NoConfig) after saying why.
    std::optional<QByteArray> outbox(int* code);
    // Puts data into the outbox under a fresh name; the name, or the exit
    // code after saying why.
    std::optional<QByteArray> publish(
        const QByteArray& outboxDir, const QByteArray& extension, const QByteArray& data, int* code);
    // Every ledger line about name, oldest first.
    QList<Ledger::Line> fatesOf(const QByteArray& name) const;
    int waitForFate(const QByteArray& name, qint64 ledgerOffset, qint64 seconds);

    std::FILE* m_in;
    std::FILE* m_out;
    std::FILE* m_err;
    QByteArray m_dir; // empty: the current folder
    SubmissionNames m_names { QCoreApplication::applicationPid() };
};

int Command::fail(int code, const QString& text)
{
    std::fprintf(m_err, "marlek-sms: %s\n", text.toLocal8Bit().constData());
    return code;
}

int Command::usage(const QString& text)
{
    return fail(Usage, text + QStringLiteral(" (see marlek-sms --help)"));
}

void Command::print(const QByteArray& text)
{
    std::fwrite(text.constData(), 1, size_t(text.size()), m_out);
    std::fflush(m_out);
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

std::optional<QByteArray> Command::publish(
    const QByteArray& outboxDir, const QByteArray& extension, const QByteArray& data, int* code)
{
    const Submission::Published published = Submission::publish(
        outboxDir, [this, &extension] { return m_names.next(extension); }, data);
    switch (published.outcome) {
    case Submission::Published::Yes:
        return published.name;
    case Submission::Published::Failed:
        *code = fail(
            CannotCreate, QStringLiteral("cannot write %1").arg(QFile::decodeName(joinDir(outboxDir, published.name))));
        return std::nullopt;
    case Submission::Published::NoFreeName:
        break;
    }
    *code = fail(CannotCreate, QStringLiteral("no free name in %1").arg(QFile::decodeName(outboxDir)));
    return std::nullopt;
}

int Command::send(const QStringList& arguments)
{
    const Arguments args = parseArguments(arguments,
        { { "help", Option::Flag }, { "to", Option::Value }, { "from", Option::Value }, { "kind", Option::Value },
            { "workdir", Option::Value }, { "wait", Option::OptionalValue } });
    if (!args.error.isEmpty())
        return usage(args.error);
    if (args.isSet("help")) {
        print(SendHelp);
        return 0;
    }
    if (!takeWorkdir(args))
        return usage(QStringLiteral("--workdir: give a folder"));
    if (!args.isSet("to") || !args.isSet("from"))
        return usage(QStringLiteral("send needs --to and --from"));
    if (args.positional.size() > 1)
        return usage(QStringLiteral("one TEXT at most; put the text in quotes"));
    const MessageKind* kind = MessageKinds::byWord(args.isSet("kind") ? args.value("kind").toLatin1() : "normal");
    if (!kind)
        return usage(QStringLiteral("--kind: '%1' is none of normal, flash, logo, ring").arg(args.value("kind")));
    qint64 wait = -1;
    if (args.isSet("wait")) {
        const QString text = args.value("wait");
        const std::optional<qint64> s = text.isEmpty() ? DefaultWaitSeconds : seconds(text, 0);
        if (!s)
            return usage(QStringLiteral("--wait: '%1' is not a number of seconds").arg(text));
        wait = *s;
    }

    QString text;
    if (args.positional.isEmpty()) {
        QByteArray input;
        char chunk[65536];
        for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, m_in)) > 0;)
            input.append(chunk, qsizetype(n));
        if (input.endsWith("\r\n"))
            input.chop(2);
        else if (input.endsWith('\n') || input.endsWith('\r'))
            input.chop(1);
        text = QString::fromLocal8Bit(input);
    } else {
        text = args.positional.constFirst();
    }
    const QString to = args.value("to");
    const QString from = args.value("from");
    if (const QString refusal = checkMessage(to, from, text); !refusal.isEmpty())
        return fail(DataError, refusal);

    int code = 0;
    const std::optional<QByteArray> dir = outbox(&code);
    if (!dir)
        return code;
    // The ledger's end now: this message's line can only come after it.
    Fs::FileInfo ledger;
    const qint64 ledgerOffset = Fs::fileInfo(joinDir(m_dir, Ledger::FileName), &ledger) ? ledger.size : 0;
    const QByteArray data = Submission::messageFile(to, from, text);
    const std::optional<QByteArray> name = publish(*dir, kind->extension, data, &code);
    if (!name)
        return code;
    print(*name + '\n');
    return wait < 0 ? 0 : waitForFate(*name, ledgerOffset, wait);
}

int Command::waitForFate(const QByteArray& name, qint64 offset, qint64 seconds)
{
    const QByteArray current = joinDir(m_dir, Ledger::FileName);
    // Reads whole lines from offset on; false when there is nothing to read.
    auto readLines = [](const QByteArray& path, qint64* from, QList<QByteArray>* lines) {
        QFile file(QFile::decodeName(path));
        if (!file.open(QIODevice::ReadOnly) || file.size() <= *from || !file.seek(*from))
            return;
        const QByteArray data = file.readAll();
        const qsizetype end = data.lastIndexOf('\n') + 1;
        *lines += data.left(end).split('\n');
        *from += end;
    };
    const QDeadlineTimer deadline(std::chrono::seconds { seconds });
    for (;;) {
        QList<QByteArray> lines;
        Fs::FileInfo info;
        const qint64 size = Fs::fileInfo(current, &info) ? info.size : 0;
        if (size < offset) {
            // Rotated since: the rest of the old file, then the new one.
            const QList<QByteArray> files = Ledger::files(m_dir);
            if (files.size() > 1)
                readLines(files[files.size() - 2], &offset, &lines);
            offset = 0;
        }
        readLines(current, &offset, &lines);
        for (const QByteArray& text : std::as_const(lines)) {
            const std::optional<Ledger::Line> line = Ledger::parse(text);
            if (!line || line->outboxName != name)
                continue;
            print(QByteArray(Ledger::outcomeName(line->outcome)) + '\n');
            return int(line->outcome); // accepted 0, refused 1, unanswered 2
        }
        if (deadline.hasExpired())
            return fail(3, QStringLiteral("%1: no fate within %2 s").arg(QFile::decodeName(name)).arg(seconds));
        QThread::msleep(100);
    }
}

QList<Ledger::Line> Command::fatesOf(const QByteArray& name) const
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

int Command::status(const QStringList& arguments)
{
    const Arguments args = parseArguments(arguments,
        { { "help", Option::Flag }, { "workdir", Option::Value }, { "json", Option::Flag },
            { "max-age", Option::Value } });
    if (!args.error.isEmpty())
        return usage(args.error);
    if (args.isSet("help")) {
        print(StatusHelp);
        return 0;
    }
    if (!takeWorkdir(args))
        return usage(QStringLiteral("--workdir: give a folder"));
    if (!args.positional.isEmpty())
        return usage(QStringLiteral("unexpected argument '%1'").arg(args.positional.constFirst()));
    qint64 maxAge = DefaultMaxAge;
    if (args.isSet("max-age")) {
        const std::optional<qint64> s = seconds(args.value("max-age"), 0);
        if (!s)
            return usage(QStringLiteral("--max-age: '%1' is not a number of seconds").arg(args.value("max-age")));
        maxAge = *s;
    }

    const QByteArray path = joinDir(m_dir, SenderStatus::FileName);
    QByteArray json;
    if (!Fs::readFile(path, &json)) {
        const QString why = Fs::exists(path)
            ? QStringLiteral("cannot read %1").arg(QFile::decodeName(path))
            : QStringLiteral("no status file %1: the sender never ran there").arg(QFile::decodeName(path));
        print("SMS UNKNOWN - " + why.toLocal8Bit() + '\n');
        return 3;
    }
    QString error;
    const std::optional<SenderStatus> status = SenderStatus::fromJson(json, &error);
    if (!status) {
        print("SMS UNKNOWN - " + QFile::encodeName(QFile::decodeName(path)) + ": " + error.toLocal8Bit() + '\n');
        return 3;
    }
    const std::optional<bool> held = lockHeld(m_dir);
    if (!held) {
        print("SMS UNKNOWN - cannot read the lock file " + joinDir(m_dir, SenderStatus::LockFileName) + '\n');
        return 3;
    }
    const QDateTime now = QDateTime::currentDateTime();
    const Verdict verdict = judge(*status, *held, now, maxAge);
    if (args.isSet("json"))
        print(json);
    else
        print((verdict.summary + u'\n' + describe(*status, now)).toLocal8Bit());
    return verdict.code;
}

int Command::result(const QStringList& arguments)
{
    const Arguments args = parseArguments(arguments, { { "help", Option::Flag }, { "workdir", Option::Value } });
    if (!args.error.isEmpty())
        return usage(args.error);
    if (args.isSet("help")) {
        print(ResultHelp);
        return 0;
    }
    if (!takeWorkdir(args))
        return usage(QStringLiteral("--workdir: give a folder"));
    if (args.positional.size() != 1)
        return usage(QStringLiteral("result needs one NAME"));
    const QByteArray name = QFile::encodeName(args.positional.constFirst());
    const QList<Ledger::Line> fates = fatesOf(name);
    if (fates.isEmpty())
        return fail(3, QStringLiteral("%1: no fate yet").arg(args.positional.constFirst()));
    for (const Ledger::Line& line : fates)
        print(Ledger::format(line));
    return int(fates.constLast().outcome);
}

int Command::requeue(const QStringList& arguments)
{
    const Arguments args = parseArguments(
        arguments, { { "help", Option::Flag }, { "workdir", Option::Value }, { "force", Option::Flag } });
    if (!args.error.isEmpty())
        return usage(args.error);
    if (args.isSet("help")) {
        print(RequeueHelp);
        return 0;
    }
    if (!takeWorkdir(args))
        return usage(QStringLiteral("--workdir: give a folder"));
    if (args.positional.isEmpty())
        return usage(QStringLiteral("requeue needs a BACKUP-FILE"));
    int code = 0;
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

int run(const QStringList& arguments, std::FILE* in, std::FILE* out, std::FILE* err)
{
    Command command(in, out, err);
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
    if (name == u"send")
        return command.send(rest);
    if (name == u"status")
        return command.status(rest);
    if (name == u"result")
        return command.result(rest);
    if (name == u"requeue")
        return command.requeue(rest);
    if (name == u"token")
        return tokenCommand(rest, out, err);
    std::fputs(UsageText, err);
    if (!name.isEmpty())
        std::fprintf(err, "marlek-sms: no command '%s'\n", name.toLocal8Bit().constData());
    return Usage;
}

} // namespace SmsTool
