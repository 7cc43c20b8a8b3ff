// marlek-sms status: the sender's status file and lock, judged as
// monitoring plugins judge.
#include "command.h"

#include "fsutil.h"
#include "paths.h"

#include <QFile>

namespace SmsTool {

namespace {

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

constexpr qint64 DefaultMaxAge = 300;

class Status : public Command
{
public:
    using Command::Command;
    int run(const QStringList& arguments);
};

int Status::run(const QStringList& arguments)
{
    int code = 0;
    const std::optional<Arguments> parsed = parse(arguments,
        { { "help", Option::Flag }, { "workdir", Option::Value }, { "json", Option::Flag },
            { "max-age", Option::Value } },
        StatusHelp, &code);
    if (!parsed)
        return code;
    const Arguments& args = *parsed;
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

} // namespace

int statusCommand(const Streams& io, const QStringList& arguments)
{
    return Status(io).run(arguments);
}

} // namespace SmsTool
