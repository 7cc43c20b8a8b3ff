#include "smsdoptions.h"

#include "smserror.h"

#include <QCommandLineParser>
#include <QCoreApplication>

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
end the program with exit code 0; SIGHUP reads the settings file again;
SIGUSR1 pauses the sending and SIGUSR2 resumes it (as marlek-sms pause and
resume do). A drain (marlek-sms drain) ends the program with 0 once every
record sent is answered or named. Options are also read from
MARLEK_SMSD_OPTIONS in /etc/default/marlek-smsd by the packaged units.
Exit codes: 0 stopped by a signal, 1 cannot run (settings, folder), 2 bad
options.)";

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
    parser.addOption(workdir);
    EngineCommandLine::addOptions(parser, EngineCommandLine::Program::Service);

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
    try {
        if (parser.isSet(workdir) && o.workdir.isEmpty())
            throw SmsError(QStringLiteral("--workdir: give a folder"));
        o.engine = EngineCommandLine::read(parser, EngineCommandLine::Program::Service);
    } catch (const SmsError& e) {
        parsed.outcome = ParsedSmsdOptions::Error;
        parsed.message = e.text();
    }
    return parsed;
}
