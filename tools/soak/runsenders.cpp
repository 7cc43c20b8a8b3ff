// The senders run: several marlek-smsd services share one outbox, each with
// its own working folder, settings file, substitute gateway and backup
// folder. One service alone goes through the same files first, at the same
// poll, so that the throughput of the many is measured against it.
#include "enginelog.h"
#include "sendjournal.h"
#include "settings.h"
#include "soakchecks.h"
#include "soakoptions.h"
#include "soakruns.h"
#include "textfile.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {
struct Sender
{
    QString work;
    QByteArray bakDir;
    SoakGateway gateway;
    ServiceProcess service;
    qsizetype counted = 0; // output bytes looked at for answers
    int answers = 0;
};

// The lines a service prints for messages that go well; any other line
// before its stop is a fault.
bool isPlainLine(const QByteArray& line)
{
    static const char* const plain[] = { EngineLog::StartLine, "Connected", "Connection Success...",
        "Messages To Send = : ", "Counter: ", "Info: ", "Found SMS File Ext = ", "Transaction Success..." };
    return line.isEmpty()
        || std::any_of(std::begin(plain), std::end(plain), [&line](const char* p) { return line.startsWith(p); });
}

struct SendersPass
{
    qint64 elapsedMs = 0;
    QList<qsizetype> perSender; // messages at each sender's gateway
    int racesLost = 0; // moves undone in the journals: files another sender took
};

// The files through this many senders, from a fresh outbox in dir.
SendersPass sendThrough(const QString& dir, int senders, const SoakOptions& o, qint64 limitMs, QStringList* failures)
{
    SendersPass run;
    const int files = o.files;
    const auto fail
        = [&](const QString& text) { failures->append(QStringLiteral("%1 sender(s): %2").arg(senders).arg(text)); };
    const QByteArray outDir = QFile::encodeName(dir) + "/outbox/";
    QDir().mkpath(QFile::decodeName(outDir));
    writeMessageFiles(outDir, files);
    std::vector<std::unique_ptr<Sender>> all;
    for (int k = 0; k < senders; ++k) {
        auto s = std::make_unique<Sender>();
        s->work = dir + QStringLiteral("/sender-%1").arg(k + 1);
        s->bakDir = QFile::encodeName(s->work) + "/backup/";
        QDir().mkpath(QFile::decodeName(s->bakDir));
        if (!s->gateway.start(o.gatewayBinary, s->work + QStringLiteral("/gateway.log"), {})) {
            fail(QStringLiteral("a gateway did not start: %1").arg(s->gateway.error));
            return run;
        }
        TextFile::writeLines(QFile::encodeName(s->work) + '/' + SettingsStore::FileName,
            { outDir, s->bakDir, "127.0.0.1", QByteArray::number(s->gateway.port), "soak", "secret", SoakKey });
        all.push_back(std::move(s));
    }

    QElapsedTimer clock;
    clock.start();
    for (const auto& s : all)
        s->service.start({ QStringLiteral("--workdir"), s->work, QStringLiteral("--poll"), QString::number(o.tickMs) },
            {}, o.serviceBinary);
    // Until every message is answered, a service ends or the time is up.
    bool ended = false;
    const auto answered = [&] {
        int sum = 0;
        for (const auto& s : all) {
            ServiceProcess& p = s->service;
            p.out += p.process.readAllStandardOutput();
            const qsizetype end = p.out.lastIndexOf('\n') + 1;
            s->answers
                += int(QByteArrayView(p.out).sliced(s->counted, end - s->counted).count("Transaction Success..."));
            s->counted = end;
            sum += s->answers;
            ended = ended || p.process.state() == QProcess::NotRunning;
        }
        return ended || (sum >= files && !hasFiles(outDir));
    };
    const QDeadlineTimer deadline(limitMs);
    bool done = false;
    while (!(done = answered()) && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(10);
    }
    done = done && !ended;
    run.elapsedMs = clock.elapsed();
    if (!done)
        fail(
            ended ? QStringLiteral("a service ended early") : QStringLiteral("gave up after %1 s").arg(limitMs / 1000));

    // Stopped as systemctl stops it; its last lines are then the stop's.
    std::vector<qsizetype> beforeStop;
    for (const auto& s : all) {
        beforeStop.push_back(s->service.out.size());
        s->service.process.terminate();
    }
    QHash<QByteArray, int> sent;
    qsizetype inBackup = 0;
    for (size_t k = 0; k < all.size(); ++k) {
        Sender& s = *all[k];
        const int exit = s.service.waitForExit();
        if (exit != 0)
            fail(QStringLiteral("sender %1 ended with %2").arg(k + 1).arg(exit));
        const QByteArrayList lines = s.service.out.left(beforeStop[k]).split('\n');
        const auto fault = std::find_if_not(lines.cbegin(), lines.cend(), isPlainLine);
        if (fault != lines.cend())
            fail(QStringLiteral("sender %1 printed \"%2\"").arg(k + 1).arg(QString::fromLocal8Bit(*fault)));
        for (const QByteArray& line : s.service.out.mid(beforeStop[k]).split('\n')) {
            if (!line.isEmpty() && line != "Socket Disconnect")
                fail(QStringLiteral("sender %1 printed \"%2\" at its stop")
                         .arg(k + 1)
                         .arg(QString::fromLocal8Bit(line)));
        }
        if (!s.service.err.isEmpty())
            fail(QStringLiteral("sender %1 printed on its error output: %2")
                     .arg(k + 1)
                     .arg(QString::fromLocal8Bit(s.service.err.trimmed())));
        QHash<QByteArray, int> mine;
        qint64 logins = 0;
        countRecords(s.gateway.log, &mine, &logins);
        qsizetype count = 0;
        for (auto it = mine.cbegin(); it != mine.cend(); ++it) {
            sent[it.key()] += it.value();
            count += it.value();
        }
        run.perSender.append(count);
        const QStringList backups = QDir(QFile::decodeName(s.bakDir)).entryList(QDir::Files | QDir::Hidden);
        inBackup += backups.size();
        for (const QString& name : backups) {
            if (!name.startsWith(QStringLiteral("SmsFile_")) || name.endsWith(QLatin1String(".part")))
                fail(QStringLiteral("%1 left behind in a backup folder").arg(name));
        }
        QFile journal(s.work + QLatin1Char('/') + QString::fromLatin1(SendJournal::FileName));
        if (journal.open(QIODevice::ReadOnly)) {
            for (const QByteArray& line : journal.readAll().split('\n'))
                run.racesLost += line.startsWith("X ") ? 1 : 0;
        }
    }
    // Each file at exactly one gateway, none left behind.
    int once = 0;
    for (int i = 0; i < files; ++i)
        once += sent.value(messageId(i)) == 1 ? 1 : 0;
    if (once != files || sent.size() != files)
        fail(QStringLiteral("%1 of %2 files reached exactly one gateway, %3 messages at the gateways")
                 .arg(once)
                 .arg(files)
                 .arg(sent.size()));
    const qsizetype left = QDir(QFile::decodeName(outDir)).entryList(QDir::Files | QDir::Hidden).size();
    if (left != 0 || inBackup != files)
        fail(QStringLiteral("%1 files left in the outbox, %2 in the backup folders").arg(left).arg(inBackup));
    return run;
}

QByteArray passFigures(const SendersPass& run, int senders, int files)
{
    QByteArrayList shares;
    for (const qsizetype n : run.perSender)
        shares.append(QByteArray::number(n));
    return QByteArray::number(senders) + (senders == 1 ? " sender " : " senders ")
        + QByteArray::number(run.elapsedMs / 1000.0, 'f', 1) + " s, "
        + QByteArray::number(run.elapsedMs > 0 ? files * 1000.0 / run.elapsedMs : 0.0, 'f', 2) + " files/s (per sender "
        + shares.join(" / ") + "; races lost " + QByteArray::number(run.racesLost) + ")";
}
} // namespace

int runSenders(const SoakOptions& o)
{
    const int senders = o.senders;
    QTemporaryDir tmp;
    QStringList failures;
    QElapsedTimer clock;
    clock.start();
    SendersPass alone;
    if (senders > 1) {
        alone = sendThrough(tmp.filePath(QStringLiteral("one")), 1, o, o.limitMs, &failures);
        std::printf("soak --senders: %d files at a %d ms poll: %s\n", o.files, o.tickMs,
            passFigures(alone, 1, o.files).constData());
    }
    const SendersPass many = sendThrough(tmp.filePath(QStringLiteral("many")), senders, o,
        std::max<qint64>(1000, o.limitMs - clock.elapsed()), &failures);
    std::printf("soak --senders: %d files at a %d ms poll: %s\n", o.files, o.tickMs,
        passFigures(many, senders, o.files).constData());
    if (senders > 1 && many.elapsedMs > 0) {
        const double ratio = double(alone.elapsedMs) / double(many.elapsedMs);
        std::printf("soak --senders: %d senders against one: %.2fx the throughput\n", senders, ratio);
        if (ratio < o.minRatio)
            failures.append(
                QStringLiteral("%1x one sender's throughput, less than %2x").arg(ratio, 0, 'f', 2).arg(o.minRatio));
    }
    return verdict("soak --senders", failures);
}
