#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QStringList>
#include <optional>

// How the substitute gateway behaves, as chosen on its command line.
struct GatewayOptions
{
    QHostAddress address = QHostAddress::LocalHost;
    quint16 port = 0;
    char result = '0';
    int counter = 0;
    QByteArray info;
    int delayMs = 0;
    int split = 1;
    int splitPauseMs = 20;
    int quietMs = 100;
    int closeAfter = 0; // 0: never
    int resetAfter = 0; // 0: never
    int muteAfter = -1; // requests answered on a connection before it goes silent; -1: never
    int muteConnections = 0; // connections muted, from the first; 0: all
    // Credentials to insist on; an absent one is not checked.
    std::optional<QByteArray> user;
    std::optional<QByteArray> password;
    std::optional<QByteArray> key;
    QString logFile;
    int garbage = 0;
    int unsolicited = 0;

    static constexpr int MaxCounter = 99999999;
};

struct ParsedOptions
{
    enum Outcome { Run, Help, Error } outcome = Run;
    GatewayOptions options;
    QString message; // help text or error
};

// Reads the command line (program name first). Never exits the process.
ParsedOptions parseGatewayOptions(const QStringList& arguments);

// Turns the escapes \n, \r, \t and \\ of a command-line text into bytes;
// any other backslash stays as it is.
QByteArray unescapeText(const QByteArray& text);
