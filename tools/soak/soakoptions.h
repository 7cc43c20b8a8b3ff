#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// What the soak is told on its command line: which run, and its figures.
struct SoakOptions
{
    enum class Run { Plain, Kill, KillChild, Drop, Senders };
    Run run = Run::Plain;
    QString helpText; // set for --help: print it and end

    int files = 10000; // 2,000 with --kill
    QString gatewayBinary; // the smsgateway program
    int tickMs = 1; // with --senders the services' poll, 200 unless given
    qint64 limitMs = 1800 * 1000;

    // The plain run: two gateways, one closing and one resetting.
    int closeAfter = 300;
    int resetAfter = 250;
    int maxGrowthKb = 5120;
    QString keepDir; // empty: a temporary directory
    int onResultSleepMs = -1; // -1: no result hook
    int maxTickP99Us = -1; // -1: no pace check

    // --kill N, and the child processes it starts.
    int kills = 50;
    quint32 seed = 0;
    QString childWork;
    QByteArray childOutDir;
    QByteArray childBakDir;
    QByteArray childPort;

    // --senders N.
    int senders = 0;
    QString serviceBinary; // the marlek-smsd program
    double minRatio = 2.7;
};

// Reads the arguments (the program name first, as QCoreApplication gives
// them). Throws SmsError on a bad, missing or conflicting option.
SoakOptions parseSoakOptions(const QStringList& arguments);
