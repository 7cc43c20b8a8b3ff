#include "smsdoptions.h"

#include "inflight.h"
#include "intparse.h"
#include "smserror.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <climits>

namespace {
const char* const Description = R"(The SMS sender's engine without windows, for running unattended.

Reads SMS_Key_Client.inf from its working directory, connects to the gateway
at once and sends one outbox file per poll, as the sender's main window does
after Start. Every engine log line goes to standard output; errors go to
standard error. After a lost connection it connects again by itself, waiting
1 s, then twice as long each time up to 60 s. A gateway that leaves a
request unanswered for the answer timeout is taken for lost as well; while as
many records wait for replies as --max-unanswered allows, no file is taken.

Signals: SIGTERM or SIGINT stop the link (unanswered messages are named) and
end the program with exit code 0; SIGHUP reads the settings file again.
Exit codes: 0 stopped by a signal, 1 cannot run (settings, folder), 2 bad
options.)";

void readInt(const QCommandLineParser& parser, const QCommandLineOption& option, int least, int most, int* out)
{
    const QString name = option.names().constFirst();
    if (parser.isSet(name))
        *out = parseOptionNumber(name, parser.value(name), least, most);
}
} // namespace

ParsedSmsdOptions parseSmsdOptions(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(Description));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption workdir(QStringLiteral("workdir"),
        QStringLiteral("Folder holding SMS_Key_Client.inf and the log files "
                       "(default: the current directory)."),
        QStringLiteral("DIR"));
    const QCommandLineOption poll(QStringLiteral("poll"),
        QStringLiteral("Poll interval in ms, at least 200 (default 1000)."), QStringLiteral("MS"));
    const QCommandLineOption logEvery(QStringLiteral("log-every"),
        QStringLiteral("Also write the engine log to SmsSender_<time stamp>.log "
                       "files in the working directory, every N lines (default: "
                       "no files)."),
        QStringLiteral("N"));
    const QCommandLineOption onResult(QStringLiteral("on-result"),
        QStringLiteral("Run CMD for every message whose fate becomes known, with five arguments: "
                       "accepted, refused or unanswered; the backup file; the name it had in the outbox; "
                       "the gateway's result character; the counter."),
        QStringLiteral("CMD"));
    const QCommandLineOption maxUnanswered(QStringLiteral("max-unanswered"),
        QStringLiteral("Message records that may wait for the gateway's replies at once, 1 to 100 (default 8)."),
        QStringLiteral("N"));
    const QCommandLineOption answerTimeout(QStringLiteral("answer-timeout"),
        QStringLiteral("Seconds the gateway may take to answer, or a connection to open, before the connection "
                       "is taken for lost, 5 to 3600 (default 30)."),
        QStringLiteral("S"));
    const QCommandLineOption metrics(QStringLiteral("metrics"),
        QStringLiteral("Write the service's figures to FILE in the Prometheus text format, for node_exporter's "
                       "textfile collector: replaced whole every 10 s and at the end."),
        QStringLiteral("FILE"));
    parser.addOptions({ workdir, poll, logEvery, onResult, maxUnanswered, answerTimeout, metrics });

    ParsedSmsdOptions parsed;
    if (!parser.parse(arguments)) {
        parsed.outcome = ParsedSmsdOptions::Error;
        parsed.message = parser.errorText();
        return parsed;
    }
    if (parser.isSet(help)) {
        parsed.outcome = ParsedSmsdOptions::Help;
        parsed.message = parser.helpText();
        return parsed;
    }
    if (parser.isSet(version)) {
        parsed.outcome = ParsedSmsdOptions::Version;
        parsed.message = QStringLiteral("%1 %2\n").arg(
            QCoreApplication::applicationName(), QCoreApplication::applicationVersion());
        return parsed;
    }
    if (!parser.positionalArguments().isEmpty()) {
        parsed.outcome = ParsedSmsdOptions::Error;
        parsed.message = QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().constFirst());
        return parsed;
    }

    SmsdOptions& o = parsed.options;
    o.workdir = parser.value(workdir);
    // A path is taken from where the service was started, before it moves
    // into its working directory; a bare name is looked up in PATH.
    o.onResult = parser.value(onResult);
    if (o.onResult.contains(QLatin1Char('/')))
        o.onResult = QDir::current().absoluteFilePath(o.onResult);
    if (parser.isSet(metrics))
        o.metricsFile = QDir::current().absoluteFilePath(parser.value(metrics));
    try {
        readInt(parser, poll, SmsdOptions::MinimumPoll, INT_MAX, &o.pollMs);
        readInt(parser, logEvery, 1, INT_MAX, &o.logEvery);
        readInt(parser, maxUnanswered, InFlight::LeastLimit, InFlight::MostLimit, &o.maxUnanswered);
        readInt(parser, answerTimeout, int(InFlight::LeastAnswerTimeout.count()),
            int(InFlight::MostAnswerTimeout.count()), &o.answerTimeoutSeconds);
        if (parser.isSet(workdir) && o.workdir.isEmpty())
            throw SmsError(QStringLiteral("--workdir: give a folder"));
        if (parser.isSet(metrics) && parser.value(metrics).isEmpty())
            throw SmsError(QStringLiteral("--metrics: give a file"));
    } catch (const SmsError& e) {
        parsed.outcome = ParsedSmsdOptions::Error;
        parsed.message = e.text();
    }
    return parsed;
}
