// Soak run: thousands of message files through the real engine to two real
// substitute gateways, one that closes its connections and one that resets
// them every few hundred records, with Start pressed again after each stop.
// Ticks come as fast as the tick interval allows instead of every 200 ms.
// At the end it checks that nothing was lost or sent twice and that memory
// did not grow, prints its figures and exits 0 only when every check held.
#include "dispatchengine.h"
#include "guard.h"
#include "operatorview.h"
#include "record.h"
#include "settings.h"
#include "textfile.h"
#include "timestamp.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <memory>

namespace {
const QByteArray Key = "SOAK1234SOAK5678";
const char* const Extensions[] = { ".sms", ".ring", ".lnol", ".flh" };

qint64 residentKilobytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

QByteArray messageId(int i)
{
    return "soak-" + QByteArray::number(i).rightJustified(6, '0');
}

// The main window as far as the soak needs it: every line goes to a file,
// only the lines that name messages stay in memory.
class SoakView : public OperatorView
{
public:
    explicit SoakView(const QString& logPath)
        : m_file(logPath)
    {
        m_file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    }

    QByteArrayList unanswered;
    QByteArrayList moveFailures;
    QStringList errors;
    qint64 lines = 0;
    qint64 answers = 0;
    int connects = 0;
    int disconnects = 0;
    int socketErrors = 0;
    bool running = false;

    void logLineAppended(const QByteArray& line) override
    {
        m_file.write(line + '\n');
        ++lines;
        if (line.startsWith("No reply for "))
            unanswered.append(line.mid(13));
        else if (line.startsWith("Cannot move "))
            moveFailures.append(line);
        else if (line == "Transaction Success..." || line == "Transaction Fail...")
            ++answers;
        else if (line == "Connected")
            ++connects;
        else if (line == "Socket Disconnect")
            ++disconnects;
        else if (line == "Socket Error")
            ++socketErrors;
    }
    void logCleared() override { }
    QByteArray lineLimitText() const override { return "1000"; }
    bool saveLogChecked() const override { return true; }
    QByteArray pollIntervalText() const override { return "200"; }
    bool viewActionsChecked() const override { return false; }
    void setCounterText(const QByteArray&) override { }
    void setInfoText(const QByteArray&) override { }
    void setConnectionLights(bool) override { }
    void setStartEnabled(bool enabled) override { running = !enabled; }
    void setStopEnabled(bool) override { }
    void toggleActivityLight() override { }
    void showError(const QString& text) override
    {
        errors.append(text);
        m_file.write("ERROR: " + text.toLatin1() + '\n');
    }

private:
    QFile m_file;
};

struct Gateway
{
    QProcess process;
    quint16 port = 0;
    QString log;

    bool start(const QString& binary, const QString& logPath, const QStringList& fault)
    {
        log = logPath;
        process.start(binary,
            QStringList { QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--log"), logPath,
                QStringLiteral("--counter"), QStringLiteral("99999999") }
                + fault);
        if (!process.waitForStarted(5000) || !process.waitForReadyRead(5000))
            return false;
        const QByteArray line = process.readLine().trimmed();
        const QByteArray prefix = "listening on 127.0.0.1:";
        if (!line.startsWith(prefix))
            return false;
        port = quint16(line.mid(prefix.size()).toUInt());
        return port != 0;
    }

    ~Gateway()
    {
        process.kill();
        process.waitForFinished(5000);
    }
};

// Message requests in a record log, counted by their text.
void countRecords(const QString& path, QHash<QByteArray, int>* count, qint64* logins)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QByteArrayList fields = line.split('\t');
        if (fields.size() != 11)
            continue;
        if (fields[2] == "P")
            ++*logins;
        else
            ++(*count)[fields[8]];
    }
}

// Drop mode: the engine follows an empty outbox, then all the files land at
// once, more than the kernel queues change events for; the index must recover
// with a full scan, and every file must reach the gateway exactly once, in
// name order within each kind.
int dropRun(int files, const QString& gatewayBinary, int tickMs, qint64 limitMs)
{
    QTemporaryDir tmp;
    const QByteArray outDir = QFile::encodeName(tmp.path()) + "/outbox/";
    const QByteArray bakDir = QFile::encodeName(tmp.path()) + "/backup/";
    QDir().mkpath(QFile::decodeName(outDir));
    QDir().mkpath(QFile::decodeName(bakDir));
    Gateway gateway;
    if (!gateway.start(gatewayBinary, tmp.path() + QStringLiteral("/gateway.log"), {})) {
        std::fprintf(stderr, "soak: the gateway did not start\n");
        return 2;
    }
    SettingsStore settings;
    settings.replace({ outDir, bakDir, "127.0.0.1", QByteArray::number(gateway.port), "soak", "secret", Key });
    SoakView view(tmp.path() + QStringLiteral("/engine.log"));
    DispatchEngine engine(settings, view, Clock::system());
    engine.log.setDirectory(QFile::encodeName(tmp.path()) + '/');
    runGuarded(view, [&] { engine.link.Start1Click(); });
    QElapsedTimer clock;
    clock.start();
    while (!engine.link.timer().isActive() && clock.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    // The index follows the empty outbox before the drop.
    runGuarded(view, [&] { engine.tick.Timer1Timer(); });
    const qsizetype scansBefore = engine.outbox.fullScans();

    // Created out of name order: the last ids first.
    for (int i = files - 1; i >= 0; --i)
        TextFile::writeLines(outDir + messageId(i) + Extensions[i % 4],
            { "39" + QByteArray::number(3000000000LL + i), "Soak", messageId(i) });

    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(tickMs);
    qint64 lastTickEndMs = 0;
    QObject::connect(&ticker, &QTimer::timeout, &ticker, [&] {
        if (!engine.link.timer().isActive() || QDateTime::currentMSecsSinceEpoch() <= lastTickEndMs)
            return;
        runGuarded(view, [&] { engine.tick.Timer1Timer(); });
        lastTickEndMs = QDateTime::currentMSecsSinceEpoch();
    });
    ticker.start();
    clock.restart();
    while (clock.elapsed() < limitMs && (view.answers < files || !QDir(QFile::decodeName(outDir)).isEmpty(QDir::Files)))
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    const qint64 elapsedMs = clock.elapsed();
    ticker.stop();

    QStringList failures;
    // The gateway's log holds the records in the order they came.
    QFile log(gateway.log);
    log.open(QIODevice::ReadOnly);
    QHash<QByteArray, int> sent;
    QHash<QByteArray, QByteArray> lastOfKind;
    int outOfOrder = 0;
    for (const QByteArray& line : log.readAll().split('\n')) {
        const QByteArrayList fields = line.split('\t');
        if (fields.size() != 11 || fields[2] == "P")
            continue;
        if (++sent[fields[8]] == 1 && fields[8] < lastOfKind.value(fields[2]))
            ++outOfOrder;
        lastOfKind[fields[2]] = fields[8];
    }
    int twice = 0;
    for (const int n : std::as_const(sent))
        twice += n > 1;
    const qsizetype backups = QDir(QFile::decodeName(bakDir)).entryList(QDir::Files).size();
    if (sent.size() != files || backups != files)
        failures.append(QStringLiteral("%1 of %2 files reached the gateway, %3 in the backup directory")
                            .arg(sent.size())
                            .arg(files)
                            .arg(backups));
    if (twice > 0)
        failures.append(QStringLiteral("%1 messages reached the gateway more than once").arg(twice));
    if (outOfOrder > 0)
        failures.append(QStringLiteral("%1 messages came out of name order within their kind").arg(outOfOrder));
    if (!view.errors.isEmpty())
        failures.append(
            QStringLiteral("%1 errors shown, the first: %2").arg(view.errors.size()).arg(view.errors.first()));
    const qsizetype scans = engine.outbox.fullScans() - scansBefore;
    std::printf("soak: drop of %d files, %.1f s, %.0f files/s at a %d ms tick; full scans after the drop %lld\n", files,
        elapsedMs / 1000.0, elapsedMs > 0 ? files * 1000.0 / elapsedMs : 0.0, tickMs, static_cast<long long>(scans));
    std::printf(
        "soak: sent %lld, twice %d, out of name order %d\n", static_cast<long long>(sent.size()), twice, outOfOrder);
    for (const QString& f : failures)
        std::printf("soak: FAILED: %s\n", qPrintable(f));
    if (failures.isEmpty())
        std::printf("soak: passed\n");
    return failures.isEmpty() ? 0 : 1;
}
} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Soak run of the dispatch engine against the substitute gateway"));
    parser.addHelpOption();
    const QCommandLineOption filesOption(
        QStringLiteral("files"), QStringLiteral("Message files."), QStringLiteral("N"), QStringLiteral("10000"));
    const QCommandLineOption closeOption(QStringLiteral("close-after"),
        QStringLiteral("Records one gateway answers per connection before it closes."), QStringLiteral("N"),
        QStringLiteral("300"));
    const QCommandLineOption resetOption(QStringLiteral("reset-after"),
        QStringLiteral("Records the other gateway answers per connection before it resets."), QStringLiteral("N"),
        QStringLiteral("250"));
    const QCommandLineOption tickOption(QStringLiteral("tick-ms"), QStringLiteral("Milliseconds between ticks."),
        QStringLiteral("MS"), QStringLiteral("1"));
    const QCommandLineOption limitOption(QStringLiteral("max-seconds"), QStringLiteral("Give up after this long."),
        QStringLiteral("S"), QStringLiteral("1800"));
    const QCommandLineOption growthOption(QStringLiteral("max-growth-kb"),
        QStringLiteral("Largest resident memory growth allowed from the 1,000th message to the end."),
        QStringLiteral("KB"), QStringLiteral("5120"));
    const QCommandLineOption gatewayOption(QStringLiteral("gateway"),
        QStringLiteral("The smsgateway program (default: $SMS_GATEWAY_BIN)."), QStringLiteral("PATH"),
        qEnvironmentVariable("SMS_GATEWAY_BIN"));
    const QCommandLineOption keepOption(
        QStringLiteral("keep"), QStringLiteral("Work in this directory and leave it behind."), QStringLiteral("DIR"));
    const QCommandLineOption dropOption(QStringLiteral("drop"),
        QStringLiteral("Drop all the files at once into an outbox already followed, to one plain gateway."));
    parser.addOptions({ filesOption, closeOption, resetOption, tickOption, limitOption, growthOption, gatewayOption,
        keepOption, dropOption });
    parser.process(app);

    const int files = parser.value(filesOption).toInt();
    const QString gatewayBinary = parser.value(gatewayOption);
    if (files <= 0 || gatewayBinary.isEmpty()) {
        std::fprintf(stderr, "soak: need --files N > 0 and --gateway PATH (or SMS_GATEWAY_BIN)\n");
        return 2;
    }
    if (parser.isSet(dropOption))
        return dropRun(
            files, gatewayBinary, parser.value(tickOption).toInt(), parser.value(limitOption).toLongLong() * 1000);

    QTemporaryDir tmp;
    QString work = tmp.path();
    if (parser.isSet(keepOption)) {
        work = QDir(parser.value(keepOption)).absolutePath();
        QDir(work).removeRecursively();
    }
    const QByteArray outDir = QFile::encodeName(work) + "/outbox/";
    const QByteArray bakDir = QFile::encodeName(work) + "/backup/";
    QDir().mkpath(QFile::decodeName(outDir));
    QDir().mkpath(QFile::decodeName(bakDir));

    // The files, all four kinds, each with its own text.
    for (int i = 0; i < files; ++i)
        TextFile::writeLines(outDir + messageId(i) + Extensions[i % 4],
            { "39" + QByteArray::number(3000000000LL + i), "Soak", messageId(i) });

    Gateway closing;
    Gateway resetting;
    if (!closing.start(gatewayBinary, work + QStringLiteral("/closing.log"),
            { QStringLiteral("--close-after"), parser.value(closeOption) })
        || !resetting.start(gatewayBinary, work + QStringLiteral("/resetting.log"),
            { QStringLiteral("--reset-after"), parser.value(resetOption) })) {
        std::fprintf(stderr, "soak: the gateway did not start\n");
        return 2;
    }

    SettingsStore settings;
    SoakView view(work + QStringLiteral("/engine.log"));
    DispatchEngine engine(settings, view, Clock::system());
    engine.log.setDirectory(QFile::encodeName(work) + '/');

    // Start against one gateway, then the other, again after every stop.
    int starts = 0;
    auto start = [&] {
        const Gateway& g = starts % 2 == 0 ? closing : resetting;
        settings.replace({ outDir, bakDir, "127.0.0.1", QByteArray::number(g.port), "soak", "secret", Key });
        ++starts;
        runGuarded(view, [&] { engine.link.Start1Click(); });
    };

    qint64 baselineKb = -1;
    qint64 peakKb = 0;
    QElapsedTimer clock;
    clock.start();
    qint64 baselineMs = 0;
    const qint64 limitMs = parser.value(limitOption).toLongLong() * 1000;
    bool timedOut = false;
    auto outboxEmpty = [&] { return QDir(QFile::decodeName(outDir)).isEmpty(QDir::Files); };

    // Ticks while the link's own timer runs, that is from the first reply
    // until the link stops, only faster.
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(parser.value(tickOption).toInt());
    // Backup names tell milliseconds apart: a tick begins only in a later
    // millisecond than the one in which the last tick ended.
    qint64 lastTickEndMs = 0;
    QObject::connect(&ticker, &QTimer::timeout, &app, [&] {
        if (!engine.link.timer().isActive() || QDateTime::currentMSecsSinceEpoch() <= lastTickEndMs)
            return;
        runGuarded(view, [&] { engine.tick.Timer1Timer(); });
        lastTickEndMs = QDateTime::currentMSecsSinceEpoch();
    });
    QTimer watch;
    watch.setInterval(5);
    qint64 polls = 0;
    QObject::connect(&watch, &QTimer::timeout, &app, [&] {
        const qint64 handled = view.answers + view.unanswered.size();
        if ((++polls % 20) == 0)
            peakKb = qMax(peakKb, residentKilobytes());
        if (baselineKb < 0 && handled >= 1000) {
            baselineKb = residentKilobytes();
            baselineMs = clock.elapsed();
        }
        if (clock.elapsed() > limitMs) {
            timedOut = true;
            app.quit();
            return;
        }
        const bool stopped = !engine.link.isConnected() && !engine.link.isPending();
        if (stopped && !outboxEmpty()) {
            start();
        } else if (!stopped && outboxEmpty() && engine.link.unansweredCount() == 0) {
            runGuarded(view, [&] { engine.link.Stop1Click(); });
            app.quit();
        } else if (stopped && outboxEmpty()) {
            app.quit();
        }
    });
    ticker.start();
    watch.start();
    start();
    app.exec();
    const qint64 elapsedMs = clock.elapsed();
    const qint64 finalKb = residentKilobytes();
    peakKb = qMax(peakKb, finalKb);

    // The checks.
    QStringList failures;
    if (timedOut)
        failures.append(QStringLiteral("gave up after %1 s").arg(limitMs / 1000));
    QHash<QByteArray, int> sent;
    qint64 logins = 0;
    countRecords(closing.log, &sent, &logins);
    countRecords(resetting.log, &sent, &logins);
    const QSet<QByteArray> named(view.unanswered.cbegin(), view.unanswered.cend());

    QSet<QByteArray> seen;
    int inOutbox = 0;
    int inBackup = 0;
    int backupNamed = 0;
    for (const QString& name : QDir(QFile::decodeName(outDir)).entryList(QDir::Files)) {
        const QByteArray id = TextFile::readLines(outDir + QFile::encodeName(name)).value(2);
        ++inOutbox;
        if (sent.contains(id))
            failures.append(QStringLiteral("%1 is still in the outbox but reached the gateway").arg(name));
        if (seen.contains(id))
            failures.append(QStringLiteral("%1 is there twice").arg(QString::fromLatin1(id)));
        seen.insert(id);
    }
    for (const QString& name : QDir(QFile::decodeName(bakDir)).entryList(QDir::Files)) {
        const QByteArray path = bakDir + QFile::encodeName(name);
        const QByteArray id = TextFile::readLines(path).value(2);
        ++inBackup;
        if (named.contains(path))
            ++backupNamed;
        else if (sent.value(id) != 1)
            failures.append(
                QStringLiteral("%1 left the outbox, never reached the gateway and is named nowhere").arg(name));
        if (seen.contains(id))
            failures.append(QStringLiteral("%1 is there twice").arg(QString::fromLatin1(id)));
        seen.insert(id);
    }
    if (inOutbox + inBackup != files || seen.size() != files)
        failures.append(QStringLiteral("%1 files in the outbox and %2 in the backup directory, of %3")
                            .arg(inOutbox)
                            .arg(inBackup)
                            .arg(files));
    int twice = 0;
    for (auto it = sent.cbegin(); it != sent.cend(); ++it) {
        if (it.value() > 1)
            ++twice;
    }
    if (twice > 0)
        failures.append(QStringLiteral("%1 messages reached the gateway more than once").arg(twice));
    if (!view.errors.isEmpty())
        failures.append(
            QStringLiteral("%1 errors shown, the first: %2").arg(view.errors.size()).arg(view.errors.first()));
    const qint64 growthKb = baselineKb < 0 ? 0 : finalKb - baselineKb;
    if (baselineKb >= 0 && growthKb >= parser.value(growthOption).toLongLong())
        failures.append(QStringLiteral("resident memory grew by %1 kB").arg(growthKb));

    std::printf("soak: %d files, %.1f s, %.0f files/s\n", files, elapsedMs / 1000.0,
        elapsedMs > 0 ? files * 1000.0 / elapsedMs : 0.0);
    std::printf("soak: outbox %d, backup %d, gateway records %lld (each message at most once: %s)\n", inOutbox,
        inBackup, static_cast<long long>(sent.size()), twice == 0 ? "yes" : "NO");
    std::printf("soak: unanswered and named %lld (of them in the backup %d), move failures named %lld\n",
        static_cast<long long>(view.unanswered.size()), backupNamed, static_cast<long long>(view.moveFailures.size()));
    std::printf("soak: starts %d, connections %d, log-ins at the gateways %lld, disconnects %d, socket errors %d, "
                "log lines %lld\n",
        starts, view.connects, static_cast<long long>(logins), view.disconnects, view.socketErrors,
        static_cast<long long>(view.lines));
    if (baselineKb >= 0)
        std::printf("soak: resident memory %lld kB at message 1000 (%.1f s), %lld kB at the end, growth %lld kB, "
                    "peak %lld kB\n",
            static_cast<long long>(baselineKb), baselineMs / 1000.0, static_cast<long long>(finalKb),
            static_cast<long long>(growthKb), static_cast<long long>(peakKb));
    else
        std::printf("soak: resident memory %lld kB at the end (under 1,000 messages: growth not checked)\n",
            static_cast<long long>(finalKb));
    for (const QString& f : failures)
        std::printf("soak: FAILED: %s\n", qPrintable(f));
    if (failures.isEmpty())
        std::printf("soak: passed\n");
    return failures.isEmpty() ? 0 : 1;
}
