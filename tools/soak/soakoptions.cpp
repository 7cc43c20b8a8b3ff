#include "soakoptions.h"

#include "intparse.h"
#include "smserror.h"

#include <QCommandLineParser>
#include <QFile>
#include <QRandomGenerator>

#include <climits>

namespace {
const char* const Description = R"(Soak run of the dispatch engine against the substitute gateway.

Without a run named: --files message files through the engine to two
gateways, one closing its connections every --close-after records and one
resetting them every --reset-after, with Start pressed again after each stop
and a tick every --tick-ms. Every file must end in the outbox or the backup
directory once, no message reach a gateway twice, every other one be named in
the log, and resident memory grow less than --max-growth-kb from the 1,000th
message to the end.
--kill N: the engine in child processes, N of them SIGKILLed at random
moments, the outbox on /dev/shm (2,000 files unless --files).
--drop: all the files at once into an outbox already followed.
--senders N: N marlek-smsd services on one outbox, after one alone on the
same files, at a 200 ms poll unless --tick-ms.

Exit codes: 0 every check held, 1 a check failed, 2 bad options or a set-up
that failed.)";

void readInt(const QCommandLineParser& parser, const QCommandLineOption& option, int least, int most, int* out)
{
    if (parser.isSet(option))
        *out = parseOptionNumber(option.names().constFirst(), parser.value(option), least, most);
}

QCommandLineOption hidden(const QString& name)
{
    QCommandLineOption option(name, QString(), QStringLiteral("V"));
    option.setFlags(QCommandLineOption::HiddenFromHelp);
    return option;
}
} // namespace

SoakOptions parseSoakOptions(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(Description));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption files(
        QStringLiteral("files"), QStringLiteral("Message files (default 10000)."), QStringLiteral("N"));
    const QCommandLineOption gateway(QStringLiteral("gateway"),
        QStringLiteral("The smsgateway program (default: $SMS_GATEWAY_BIN)."), QStringLiteral("PATH"));
    const QCommandLineOption tick(QStringLiteral("tick-ms"),
        QStringLiteral("Milliseconds between ticks (default 1; with --senders the services' poll, default 200)."),
        QStringLiteral("MS"));
    const QCommandLineOption limit(
        QStringLiteral("max-seconds"), QStringLiteral("Give up after this long (default 1800)."), QStringLiteral("S"));
    const QCommandLineOption closeAfter(QStringLiteral("close-after"),
        QStringLiteral("Records one gateway answers per connection before it closes (default 300)."),
        QStringLiteral("N"));
    const QCommandLineOption resetAfter(QStringLiteral("reset-after"),
        QStringLiteral("Records the other gateway answers per connection before it resets (default 250)."),
        QStringLiteral("N"));
    const QCommandLineOption growth(QStringLiteral("max-growth-kb"),
        QStringLiteral("Largest resident memory growth allowed from the 1,000th message to the end (default 5120)."),
        QStringLiteral("KB"));
    const QCommandLineOption keep(
        QStringLiteral("keep"), QStringLiteral("Work in this directory and leave it behind."), QStringLiteral("DIR"));
    const QCommandLineOption hook(QStringLiteral("on-result-sleep"),
        QStringLiteral("Run a result hook that sleeps this long, then records the fate."), QStringLiteral("MS"));
    const QCommandLineOption pace(QStringLiteral("max-tick-p99-us"),
        QStringLiteral("Fail when the 99th percentile of the gaps between ticks exceeds this (a pace check for a "
                       "quiet machine; off by default)."),
        QStringLiteral("US"));
    const QCommandLineOption kill(QStringLiteral("kill"),
        QStringLiteral("Run the engine in child processes and SIGKILL N of them at random moments."),
        QStringLiteral("N"));
    const QCommandLineOption seed(QStringLiteral("seed"),
        QStringLiteral("With --kill: the seed of the kill moments (default: random)."), QStringLiteral("S"));
    const QCommandLineOption drop(QStringLiteral("drop"),
        QStringLiteral("Drop all the files at once into an outbox already followed, to one plain gateway."));
    const QCommandLineOption senders(QStringLiteral("senders"),
        QStringLiteral("Run this many marlek-smsd services on one outbox, after one alone on the same files."),
        QStringLiteral("N"));
    const QCommandLineOption service(QStringLiteral("service"),
        QStringLiteral("The marlek-smsd program (default: $SMSD_BIN)."), QStringLiteral("PATH"));
    const QCommandLineOption ratio(QStringLiteral("min-ratio"),
        QStringLiteral("With --senders: the least throughput against one sender's (default 2.7)."),
        QStringLiteral("R"));
    // A killed run's child process: one engine in the folders given.
    QCommandLineOption child(QStringLiteral("child"));
    child.setFlags(QCommandLineOption::HiddenFromHelp);
    const QCommandLineOption work = hidden(QStringLiteral("work"));
    const QCommandLineOption outbox = hidden(QStringLiteral("outbox"));
    const QCommandLineOption backup = hidden(QStringLiteral("backup"));
    const QCommandLineOption port = hidden(QStringLiteral("port"));
    parser.addOptions({ files, gateway, tick, limit, closeAfter, resetAfter, growth, keep, hook, pace, kill, seed, drop,
        senders, service, ratio, child, work, outbox, backup, port });

    if (!parser.parse(arguments))
        throw SmsError(parser.errorText());
    SoakOptions o;
    if (parser.isSet(help)) {
        o.helpText = parser.helpText();
        return o;
    }
    if (!parser.positionalArguments().isEmpty())
        throw SmsError(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().constFirst()));
    if (int(parser.isSet(kill)) + int(parser.isSet(drop)) + int(parser.isSet(senders)) > 1)
        throw SmsError(QStringLiteral("give one of --kill, --drop and --senders"));

    if (parser.isSet(child)) {
        o.run = SoakOptions::Run::KillChild;
        o.childWork = parser.value(work);
        o.childOutDir = QFile::encodeName(parser.value(outbox));
        o.childBakDir = QFile::encodeName(parser.value(backup));
        o.childPort = parser.value(port).toLatin1();
        if (o.childWork.isEmpty() || o.childOutDir.isEmpty() || o.childBakDir.isEmpty() || o.childPort.isEmpty())
            throw SmsError(QStringLiteral("--child needs --work, --outbox, --backup and --port"));
        return o;
    }
    if (parser.isSet(kill)) {
        o.run = SoakOptions::Run::Kill;
        o.files = 2000;
    } else if (parser.isSet(drop)) {
        o.run = SoakOptions::Run::Drop;
    } else if (parser.isSet(senders)) {
        o.run = SoakOptions::Run::Senders;
        o.tickMs = 200;
    }

    readInt(parser, files, 1, INT_MAX, &o.files);
    // The service polls at 200 ms at the fastest.
    readInt(parser, tick, o.run == SoakOptions::Run::Senders ? 200 : 0, INT_MAX, &o.tickMs);
    int seconds = int(o.limitMs / 1000);
    readInt(parser, limit, 1, INT_MAX / 1000, &seconds);
    o.limitMs = qint64(seconds) * 1000;
    readInt(parser, closeAfter, 1, INT_MAX, &o.closeAfter);
    readInt(parser, resetAfter, 1, INT_MAX, &o.resetAfter);
    readInt(parser, growth, 0, INT_MAX, &o.maxGrowthKb);
    readInt(parser, hook, 0, 3600000, &o.onResultSleepMs);
    readInt(parser, pace, 0, INT_MAX, &o.maxTickP99Us);
    readInt(parser, kill, 0, INT_MAX, &o.kills);
    readInt(parser, senders, 1, 100, &o.senders);
    o.keepDir = parser.value(keep);

    o.seed = QRandomGenerator::global()->generate();
    if (parser.isSet(seed)) {
        bool ok = false;
        o.seed = parser.value(seed).toUInt(&ok);
        if (!ok)
            throw SmsError(QStringLiteral("--seed: '%1' is not a whole number from 0 to %2")
                               .arg(parser.value(seed))
                               .arg(UINT_MAX));
    }
    if (parser.isSet(ratio)) {
        bool ok = false;
        o.minRatio = parser.value(ratio).toDouble(&ok);
        if (!ok || o.minRatio < 0)
            throw SmsError(QStringLiteral("--min-ratio: '%1' is not a number of 0 or more").arg(parser.value(ratio)));
    }

    o.gatewayBinary = parser.isSet(gateway) ? parser.value(gateway) : qEnvironmentVariable("SMS_GATEWAY_BIN");
    o.serviceBinary = parser.isSet(service) ? parser.value(service) : qEnvironmentVariable("SMSD_BIN");
    if (o.gatewayBinary.isEmpty())
        throw SmsError(QStringLiteral("give --gateway PATH or set SMS_GATEWAY_BIN"));
    if (o.run == SoakOptions::Run::Senders && o.serviceBinary.isEmpty())
        throw SmsError(QStringLiteral("--senders: give --service PATH or set SMSD_BIN"));
    return o;
}
