// The sending pace: message files through the real engine, paced by its own
// timer, to the real substitute gateway, measured from the gateway's record
// log. One message per tick means one record per interval, no more, no less.
//
//   bench_pace --gateway PATH [--files N] [--interval MS] [--dir DIR]
#include "benchsupport.h"
#include "dispatchengine.h"
#include "settings.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <functional>
#include <iostream>

namespace {

struct LogRecord
{
    QDateTime time;
    char command = 0;
    char result = 0;
};

QList<LogRecord> readRecordLog(const QString& path)
{
    QList<LogRecord> records;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return records;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() < 11)
            continue;
        LogRecord r;
        r.time = QDateTime::fromString(QString::fromLatin1(fields[0]), Qt::ISODateWithMs);
        r.command = fields[2].isEmpty() ? 0 : fields[2][0];
        r.result = fields[9].isEmpty() ? 0 : fields[9][0];
        if (r.time.isValid())
            records.append(r);
    }
    return records;
}

QByteArray readAll(const QByteArray& path)
{
    QFile f(QString::fromLocal8Bit(path));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QString argument(const QStringList& args, const QString& name, const QString& fallback)
{
    const qsizetype at = args.indexOf(name);
    return at >= 0 && at + 1 < args.size() ? args[at + 1] : fallback;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString gateway = argument(args, QStringLiteral("--gateway"), QString());
    const int files = argument(args, QStringLiteral("--files"), QStringLiteral("1000")).toInt();
    const int interval = argument(args, QStringLiteral("--interval"), QStringLiteral("200")).toInt();
    QByteArray root = argument(args, QStringLiteral("--dir"), QString()).toLocal8Bit();
    // As the programs run: the journal, the status file, the ledger and the
    // metrics file on.
    const bool watched = args.contains(QStringLiteral("--watched"));
    if (gateway.isEmpty() || files <= 0 || interval <= 0) {
        std::cerr << "usage: bench_pace --gateway PATH [--files N] [--interval MS] [--dir DIR] [--watched]\n";
        return 2;
    }
    if (root.isEmpty())
        root = Bench::dataRoot();
    const QByteArray work = root + "/pace_" + QByteArray::number(interval);
    Bench::freshDirectory(work);
    Bench::freshDirectory(work + "/outbox");
    Bench::freshDirectory(work + "/backup");
    Bench::freshDirectory(work + "/logs");
    Bench::createFiles(work + "/outbox", "m", ".sms", files, Bench::MessageText);
    const QString recordLog = QString::fromLocal8Bit(work + "/gateway-records.log");

    // Counts the gateway's replies the way the main window shows them.
    RecordingView view(RecordingView::Counting);
    options.pollInterval = OptionNumber::fromText(QByteArray::number(interval));
    options.lineLimit = OptionNumber::fromText("1000");
    options.saveLog = true;
    SettingsStore settings;
    Settings s;
    s.outboxDir = work + "/outbox/";
    s.backupDir = work + "/backup/";
    s.serverAddress = "127.0.0.1";
    s.userName = "bench";
    s.password = "secret";
    s.userKey = "ABCD1234EFGH5678";
    settings.replace(s);
    DispatchEngine engine(settings, view, Clock::system());
    engine.configure(view.options);
    view.watch(engine);
    engine.log().setDirectory(work + "/logs");
    if (watched) {
        engine.statusFiles().setMetricsFile(work + "/marlek-sms.prom");
        engine.start(work + "/");
    }

    int exitCode = 0;
    int replies = 0;
    view.onCounter = [&] {
        // The log-in's reply and one per message.
        if (++replies == files + 1) {
            engine.link().stop();
            QCoreApplication::quit();
        }
    };

    QProcess gatewayProcess;
    QByteArray gatewayOut;
    QObject::connect(&gatewayProcess, &QProcess::readyReadStandardOutput, &app, [&] {
        gatewayOut += gatewayProcess.readAllStandardOutput();
        const qsizetype at = gatewayOut.indexOf("listening on ");
        const qsizetype end = gatewayOut.indexOf('\n', at);
        if (at < 0 || end < 0 || !settings.values().serverPort.isEmpty())
            return;
        const QByteArray address = gatewayOut.mid(at + 13, end - at - 13).trimmed();
        Settings current = settings.values();
        current.serverPort = address.mid(address.lastIndexOf(':') + 1);
        settings.replace(current);
        engine.link().start();
    });
    QObject::connect(&gatewayProcess, &QProcess::errorOccurred, &app, [&](QProcess::ProcessError error) {
        if (error == QProcess::Crashed && replies == files + 1)
            return; // our own terminate()
        std::cerr << "gateway: " << gatewayProcess.errorString().toStdString() << "\n";
        exitCode = 1;
        QCoreApplication::quit();
    });
    gatewayProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    gatewayProcess.start(gateway,
        { QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--counter"), QString::number(files),
            QStringLiteral("--log"), recordLog });

    // A run that stalls ends all the same: the figures then show it.
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &app, [&] {
        std::cerr << "deadline passed with " << replies << " replies\n";
        exitCode = 1;
        engine.link().stop();
        QCoreApplication::quit();
    });
    deadline.start(qint64(files) * interval * 3 / 2 + 15000);

    std::cout << "Pace run: " << files << " files at " << interval << " ms; timer type "
              << (engine.link().timer().timerType() == Qt::PreciseTimer ? "precise" : "coarse") << std::endl;
    app.exec();
    gatewayProcess.terminate();
    gatewayProcess.waitForFinished(5000);

    const QList<LogRecord> records = readRecordLog(recordLog);
    QDateTime login;
    QList<QDateTime> messages;
    int failed = 0;
    for (const LogRecord& r : records) {
        if (r.command == 'P' && !login.isValid())
            login = r.time;
        else if (r.command != 'P') {
            messages.append(r.time);
            failed += r.result != '0';
        }
    }
    if (!login.isValid() || messages.size() < 2) {
        std::cerr << "too few records in the gateway's log (" << records.size() << ")\n";
        return 1;
    }
    std::vector<qint64> gaps;
    for (qsizetype i = 1; i < messages.size(); ++i)
        gaps.push_back(messages[i - 1].msecsTo(messages[i]));
    const double mean = double(messages.first().msecsTo(messages.last())) / double(gaps.size());
    const auto [minGap, maxGap] = std::minmax_element(gaps.begin(), gaps.end());
    const auto missed = std::count_if(gaps.begin(), gaps.end(), [&](qint64 g) { return g > interval * 3 / 2; });
    // From the log-in to the last message: the first tick comes one interval
    // after the log-in's reply, so a whole run is files × interval.
    const double total = double(login.msecsTo(messages.last()));
    const double nominal = double(files) * interval;
    const double meanOff = std::abs(mean - interval) / interval * 100;
    const double totalOff = std::abs(total - nominal) / nominal * 100;
    const bool allThere = messages.size() == files && failed == 0 && view.errors.isEmpty();

    std::cout << "Records: " << messages.size() << " messages (" << failed << " failed), engine errors "
              << view.errors.size() << "; mean gap " << mean << " ms, min " << *minGap << ", max " << *maxGap
              << ", missed " << missed << "; total " << total << " ms vs " << nominal << " ms\n";
    for (const QString& e : view.errors)
        std::cout << "  engine error: " << e.toStdString() << "\n";

    const QString run
        = QStringLiteral("pace, %1 files at %2 ms%3")
              .arg(Bench::thousands(files))
              .arg(interval)
              .arg(watched ? QStringLiteral(" (journal, status file, ledger and metrics on)") : QString());
    if (watched) {
        const QByteArray ledger = readAll(work + "/SmsSender.results");
        std::cout << "Ledger: " << ledger.count('\n') << " lines, " << ledger.count("\taccepted\t") << " accepted\n";
    }
    Bench::row(run + QStringLiteral(": mean interval between message records (min / max)"),
        QStringLiteral("%1 ms, %2% off (%3 / %4 ms); %5 of %6 records, %7 failed")
            .arg(mean, 0, 'f', 2)
            .arg(meanOff, 0, 'f', 3)
            .arg(*minGap)
            .arg(*maxGap)
            .arg(messages.size())
            .arg(files)
            .arg(failed),
        QStringLiteral("within 1% of %1 ms").arg(interval), meanOff <= 1 && allThere);
    Bench::row(run + QStringLiteral(": missed ticks (gaps over 1.5× the interval)"), QString::number(missed),
        QStringLiteral("0"), missed == 0);
    Bench::row(run + QStringLiteral(": log-in to last message"),
        QStringLiteral("%1 s vs %2 s, %3% off")
            .arg(total / 1000, 0, 'f', 3)
            .arg(nominal / 1000, 0, 'f', 3)
            .arg(totalOff, 0, 'f', 3),
        QStringLiteral("within 1%"), totalOff <= 1);
    Bench::note(
        QStringLiteral("pace at %1 ms: paced by the engine's own timer (%2), records timed by the gateway's log")
            .arg(interval)
            .arg(engine.link().timer().timerType() == Qt::PreciseTimer ? QStringLiteral("Qt::PreciseTimer")
                                                                       : QStringLiteral("Qt::CoarseTimer")));
    if (qEnvironmentVariableIsEmpty("SMS_BENCH_KEEP"))
        Bench::removeTree(work);
    return exitCode;
}
