#pragma once

#include "engineoptions.h"

#include <QString>

class QCommandLineParser;

// Where the program was asked to work. Settings, log files and relative
// outbox and backup folders all live in the working directory.
struct StartOptions
{
    QString workDir; // empty: stay in the current directory
    bool createWorkDir = false; // the desktop start makes its folder on first use
    // The engine's own, as the service takes them too.
    EngineOptions engine {};
};

// The program's options (--workdir, --desktop and the engine's) with --help
// and --version.
void addStartOptions(QCommandLineParser& parser);

// What the parser, having read the command line, asks for. Throws SmsError
// for a number out of its range.
StartOptions startOptions(const QCommandLineParser& parser);

// The folder a start from the desktop menu works in: the user's data folder,
// usually ~/.local/share/marlek-sms-sender; empty when the system names none.
QString desktopWorkDir();

// Makes the chosen folder the working directory. On failure the reason is in
// *error and the working directory is unchanged.
bool enterWorkDir(const StartOptions& options, QString* error);
