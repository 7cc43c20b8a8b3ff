// marlek-sms send: one message into the outbox, and with --wait its fate.
#include "command.h"

#include "fsutil.h"
#include "ledger.h"
#include "messagekind.h"
#include "paths.h"
#include "record.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QThread>

#include <chrono>

namespace SmsTool {

namespace {

// %1 to %3: the record's widths, which the checks hold a message to.
const char* const SendHelp = R"(Usage: marlek-sms send --to NUMBER --from SENDER [--kind normal|flash|logo|ring]
                       [--workdir DIR] [--wait[=SECONDS]] [TEXT]

Writes one message file into the outbox named by the settings file in DIR
(default: the current folder), whole or not at all, and prints its name.
The text comes from standard input when TEXT is not given; one final line
break is dropped. The destination is 1 to %1 characters, digits with an
optional leading "+"; the sender 1 to %2 characters; the text at most %3
bytes; no line breaks; every character in the gateway's code page (Latin-1).

--wait waits for the message's fate in the ledger (default 120 s).
Exit codes: 0 queued (with --wait: accepted), 1 refused, 2 unanswered,
3 not settled in time, 4 expired; 64 usage, 65 bad message, 73 cannot write
the file, 78 no settings file.
)";

constexpr qint64 DefaultWaitSeconds = 120;

class Send : public Command
{
public:
    using Command::Command;
    int run(const QStringList& arguments);

private:
    // Puts data into the outbox under a fresh name; the name, or the exit
    // code after saying why.
    std::optional<QByteArray> publish(
        const QByteArray& outboxDir, const QByteArray& extension, const QByteArray& data, int* code);
    int waitForFate(const QByteArray& name, qint64 ledgerOffset, qint64 seconds);

    SubmissionNames m_names { QCoreApplication::applicationPid() };
};

int Send::run(const QStringList& arguments)
{
    using namespace GatewayRecord;
    const QByteArray help
        = QString::fromLatin1(SendHelp)
              .arg(QString::number(DestinationWidth), QString::number(SenderWidth), QString::number(TextWidth))
              .toLatin1();
    int code = 0;
    const std::optional<Arguments> parsed = parse(arguments,
        { { "help", Option::Flag }, { "to", Option::Value }, { "from", Option::Value }, { "kind", Option::Value },
            { "workdir", Option::Value }, { "wait", Option::OptionalValue } },
        help, &code);
    if (!parsed)
        return code;
    const Arguments& args = *parsed;
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
        for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, m_io.in)) > 0;)
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

std::optional<QByteArray> Send::publish(
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

int Send::waitForFate(const QByteArray& name, qint64 offset, qint64 seconds)
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
            return outcomeExit(line->outcome);
        }
        if (deadline.hasExpired())
            return fail(3, QStringLiteral("%1: no fate within %2 s").arg(QFile::decodeName(name)).arg(seconds));
        QThread::msleep(100);
    }
}

} // namespace

int sendCommand(const Streams& io, const QStringList& arguments)
{
    return Send(io).run(arguments);
}

} // namespace SmsTool
