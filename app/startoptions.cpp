#include "startoptions.h"

#include "intparse.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace {
const QString WorkDirOption = QStringLiteral("workdir");
const QString DesktopOption = QStringLiteral("desktop");
const QString OnResultOption = QStringLiteral("on-result");
const QString MaxUnansweredOption = QStringLiteral("max-unanswered");
const QString AnswerTimeoutOption = QStringLiteral("answer-timeout");
const QString MetricsOption = QStringLiteral("metrics");
} // namespace

void addStartOptions(QCommandLineParser& parser)
{
    parser.setApplicationDescription(
        QStringLiteral("Hands the message files of an outbox directory to an SMS gateway."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption({ WorkDirOption,
        QStringLiteral("Work in <dir>: the settings file, log files and relative folders are there. "
                       "Default: the current directory."),
        QStringLiteral("dir") });
    parser.addOption({ DesktopOption,
        QStringLiteral("Work in the user's data folder (%1), created on first start; "
                       "for the desktop menu. --workdir takes precedence.")
            .arg(QDir::toNativeSeparators(desktopWorkDir())) });
    parser.addOption({ OnResultOption,
        QStringLiteral("Run <command> for every message whose fate becomes known, with five arguments: "
                       "accepted, refused or unanswered; the backup file; the name it had in the outbox; "
                       "the gateway's result character; the counter."),
        QStringLiteral("command") });
    parser.addOption({ MaxUnansweredOption,
        QStringLiteral("Message records that may wait for the gateway's replies at once, 1 to 100 (default 8)."),
        QStringLiteral("n") });
    parser.addOption({ AnswerTimeoutOption,
        QStringLiteral("Seconds the gateway may take to answer, or a connection to open, before the "
                       "connection is taken for lost, 5 to 3600 (default 30)."),
        QStringLiteral("seconds") });
    parser.addOption({ MetricsOption,
        QStringLiteral("Write the sender's figures to <file> in the Prometheus text format, for "
                       "node_exporter's textfile collector: replaced whole every 10 s and at the end."),
        QStringLiteral("file") });
}

StartOptions startOptions(const QCommandLineParser& parser)
{
    StartOptions options;
    if (parser.isSet(WorkDirOption)) {
        options.workDir = parser.value(WorkDirOption);
    } else if (parser.isSet(DesktopOption)) {
        options.workDir = desktopWorkDir();
        options.createWorkDir = true;
    }
    options.onResult = parser.value(OnResultOption);
    // A path is taken from where the program was started, before it moves
    // into its working directory; a bare name is looked up in PATH.
    if (options.onResult.contains(QLatin1Char('/')))
        options.onResult = QDir::current().absoluteFilePath(options.onResult);
    // A relative file is taken from where the program was started.
    if (parser.isSet(MetricsOption))
        options.metricsFile = QDir::current().absoluteFilePath(parser.value(MetricsOption));
    if (parser.isSet(MaxUnansweredOption))
        options.maxUnanswered = parseOptionNumber(MaxUnansweredOption, parser.value(MaxUnansweredOption), 1, 100);
    if (parser.isSet(AnswerTimeoutOption))
        options.answerTimeoutSeconds
            = parseOptionNumber(AnswerTimeoutOption, parser.value(AnswerTimeoutOption), 5, 3600);
    return options;
}

QString desktopWorkDir()
{
    // A fixed folder name, whatever the program file is called.
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return data.isEmpty() ? QString() : data + QStringLiteral("/marlek-sms-sender");
}

bool enterWorkDir(const StartOptions& options, QString* error)
{
    if (options.workDir.isEmpty())
        return true;
    const QString dir = QDir::cleanPath(options.workDir);
    if (options.createWorkDir && !QFileInfo::exists(dir)) {
        if (!QDir().mkpath(dir)) {
            *error = QStringLiteral("cannot create the working directory %1").arg(dir);
            return false;
        }
        // The settings file holds the password: the folder is the user's own.
        QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    if (!QDir::setCurrent(dir)) {
        *error = QStringLiteral("cannot work in %1: no such directory, or not accessible").arg(dir);
        return false;
    }
    return true;
}
