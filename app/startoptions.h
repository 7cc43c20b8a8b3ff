#pragma once

#include <QString>

class QCommandLineParser;

// Where the program was asked to work. Settings, log files and relative
// outbox and backup folders all live in the working directory.
struct StartOptions
{
    QString workDir; // empty: stay in the current directory
    bool createWorkDir = false; // the desktop start makes its folder on first use
    QString onResult; // the command told each message's fate; empty: none
    int maxUnanswered = 8; // message records that may wait for replies at once
    int answerTimeoutSeconds = 30; // how long a reply, or a connection, may take
    QString metricsFile {}; // the metrics file for node_exporter; empty: none
};

// The program's options (--workdir, --desktop, --on-result, --max-unanswered,
// --answer-timeout, --metrics) with --help and --version.
// Later options go here beside them.
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
