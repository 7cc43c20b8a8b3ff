#pragma once

#include "ledger.h"
#include "senderverdict.h"
#include "submission.h"

#include <QHash>
#include <QList>
#include <QStringList>

#include <cstdio>
#include <optional>

// marlek-sms: hands the sender one message safely, reads what the sender
// tells other programs (its status file and its ledger of fates) and
// controls its queue. Qt Core only. What the subcommands share, each of
// them in a file of its own; the pieces the tests check on their own are
// declared here.
namespace SmsTool {

// Exit codes besides the commands' own: those of sysexits.h.
enum Exit { Usage = 64, DataError = 65, NoInput = 66, CannotCreate = 73, NoConfig = 78 };

// Shared with the HTTP front (common/).
using SenderVerdict::describe;
using SenderVerdict::judge;
using SenderVerdict::lockHeld;
using SenderVerdict::Verdict;
using Submission::checkMessage;
using Submission::SubmissionNames;
using Submission::temporaryName;

// Runs the command line (the program's name first); the exit code.
int run(const QStringList& arguments, std::FILE* in, std::FILE* out, std::FILE* err);

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
// the options; -h is the first option (--help).
Arguments parseArguments(const QStringList& arguments, const QList<Option>& options);

// A whole number of seconds, at least min; nothing when it is not one.
std::optional<qint64> seconds(const QString& text, qint64 min);

struct Streams
{
    std::FILE* in;
    std::FILE* out;
    std::FILE* err;
};

// A subcommand's shared steps: its messages, its working directory and the
// outbox the settings file there names.
class Command
{
public:
    explicit Command(const Streams& io);

protected:
    int fail(int code, const QString& text);
    int usage(const QString& text);
    void print(const QByteArray& text);
    // Parses the arguments, answers --help with help and takes --workdir;
    // nothing, and the exit code in *code, when the command ends there.
    std::optional<Arguments> parse(
        const QStringList& arguments, const QList<Option>& options, const QByteArray& help, int* code);
    // Reads --workdir, or says why not; true when the command may go on.
    bool takeWorkdir(const Arguments& args);
    // The outbox named by the settings file in the working directory, or
    // the exit code (NoConfig) after saying why.
    std::optional<QByteArray> outbox(int* code);
    Streams m_io;
    QByteArray m_dir; // empty: the current folder
};

// A fate's exit code, for result and send --wait: 0 accepted, 1 refused,
// 2 unanswered, 4 expired (3 is "none yet").
int outcomeExit(Ledger::Outcome outcome);

// The subcommands: the arguments after the command's name; the exit code.
int sendCommand(const Streams& io, const QStringList& arguments);
int statusCommand(const Streams& io, const QStringList& arguments);
int resultCommand(const Streams& io, const QStringList& arguments);
int requeueCommand(const Streams& io, const QStringList& arguments);
int tokenCommand(const Streams& io, const QStringList& arguments);
int pauseCommand(const Streams& io, const QStringList& arguments);
int resumeCommand(const Streams& io, const QStringList& arguments);
int drainCommand(const Streams& io, const QStringList& arguments);

} // namespace SmsTool
