#include "startoptions.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace {
const QString WorkDirOption = QStringLiteral("workdir");
const QString DesktopOption = QStringLiteral("desktop");
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
    EngineCommandLine::addOptions(parser, EngineCommandLine::Program::Window);
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
    options.engine = EngineCommandLine::read(parser, EngineCommandLine::Program::Window);
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
