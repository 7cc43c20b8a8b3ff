// The plain run: thousands of message files through the real engine to two
// real substitute gateways, one that closes its connections and one that
// resets them every few hundred records, with Start pressed again after each
// stop. Ticks come as fast as the tick interval allows instead of every
// 200 ms. At the end it checks that nothing was lost or sent twice and that
// memory did not grow. With --on-result-sleep a result hook that sleeps runs
// for every message; then every fate must reach it exactly once, and the
// tick gaps show whether the hook held the ticks up.
#include "dispatchengine.h"
#include "errorroute.h"
#include "settings.h"
#include "soakchecks.h"
#include "soakoptions.h"
#include "soakruns.h"
#include "textfile.h"
#include "timestamp.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {
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

// The q-quantile of sorted gaps.
qint64 quantile(const std::vector<qint64>& sorted, double q)
{
    return sorted.empty() ? 0 : sorted[std::min(sorted.size() - 1, size_t(q * double(sorted.size())))];
}

// Gaps between ticks in microseconds: median, p99, p99.9 and the largest.
QByteArray gapFigures(const std::vector<qint64>& gaps)
{
    if (gaps.empty())
        return "no ticks";
    const auto at = [&gaps](double q) { return quantile(gaps, q); };
    return QByteArray::number(gaps.size()) + " gaps, median " + QByteArray::number(at(0.5)) + " us, p99 "
        + QByteArray::number(at(0.99)) + " us, p99.9 " + QByteArray::number(at(0.999)) + " us, max "
        + QByteArray::number(gaps.back()) + " us";
}

// A hook that sleeps, then appends its five arguments to resultsPath; one
// printf, one write, so that four hooks at once do not mix their lines.
bool writeHook(const QString& hookPath, int sleepMs, const QString& resultsPath)
{
    QFile script(hookPath);
    return script.open(QIODevice::WriteOnly)
        && script.write("#!/bin/sh\nsleep " + QByteArray::number(sleepMs / 1000.0)
               + "\nprintf '%s\\t%s\\t%s\\t%s\\t%s\\n' \"$@\" >> '" + QFile::encodeName(resultsPath) + "'\n")
        >= 0
        && script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// Checks the hook's record of fates against the backup directory: each file
// there told exactly once, unanswered exactly when the log named it so.
void checkResults(const QString& path, const QByteArray& bakDir, const QSet<QByteArray>& unanswered,
    QStringList* failures, QByteArray* summary)
{
    QFile file(path);
    QHash<QByteArray, int> told;
    QHash<QByteArray, int> outcomes;
    if (file.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : file.readAll().split('\n')) {
            if (line.isEmpty())
                continue;
            const QByteArrayList f = line.split('\t');
            if (f.size() != 5) {
                failures->append(QStringLiteral("a result line cut or mixed: %1").arg(QString::fromLatin1(line)));
                continue;
            }
            ++told[f[1]];
            ++outcomes[f[0]];
            const bool named = unanswered.contains(f[1]);
            const QByteArray id = TextFile::readLines(f[1]).value(2);
            if (named != (f[0] == "unanswered") || (!named && (f[0] != "accepted" || f[3] != "0" || f[4].isEmpty())))
                failures->append(QStringLiteral("a wrong fate: %1").arg(QString::fromLatin1(line)));
            if (id.isEmpty() || f[2] != id + f[1].mid(f[1].lastIndexOf('.')))
                failures->append(QStringLiteral("a wrong outbox name: %1").arg(QString::fromLatin1(line)));
        }
    }
    int backups = 0;
    for (const QString& name : QDir(QFile::decodeName(bakDir)).entryList(QDir::Files)) {
        ++backups;
        const int n = told.value(bakDir + QFile::encodeName(name));
        if (n != 1)
            failures->append(QStringLiteral("%1 told %2 times").arg(name).arg(n));
    }
    if (told.size() != backups)
        failures->append(QStringLiteral("%1 fates told of %2 backup files").arg(told.size()).arg(backups));
    *summary = QByteArray::number(told.size()) + " files told (accepted "
        + QByteArray::number(outcomes.value("accepted")) + ", refused " + QByteArray::number(outcomes.value("refused"))
        + ", unanswered " + QByteArray::number(outcomes.value("unanswered")) + ")";
}
} // namespace

int runPlain(const SoakOptions& o)
{
    const int files = o.files;
    const bool withHook = o.onResultSleepMs >= 0;
    QTemporaryDir tmp;
    QString work = tmp.path();
    if (!o.keepDir.isEmpty()) {
        work = QDir(o.keepDir).absolutePath();
        QDir(work).removeRecursively();
    }
    const QByteArray outDir = QFile::encodeName(work) + "/outbox/";
    const QByteArray bakDir = QFile::encodeName(work) + "/backup/";
    QDir().mkpath(QFile::decodeName(outDir));
    QDir().mkpath(QFile::decodeName(bakDir));

    writeMessageFiles(outDir, files);

    SoakGateway closing;
    SoakGateway resetting;
    if (!closing.start(o.gatewayBinary, work + QStringLiteral("/closing.log"),
            { QStringLiteral("--close-after"), QString::number(o.closeAfter) })
        || !resetting.start(o.gatewayBinary, work + QStringLiteral("/resetting.log"),
            { QStringLiteral("--reset-after"), QString::number(o.resetAfter) })) {
        std::fprintf(stderr, "soak: the gateway did not start\n");
        return 2;
    }

    SettingsStore settings;
    SoakView view(work + QStringLiteral("/engine.log()"));
    DispatchEngine engine(settings, view, Clock::system());
    engine.configure(view.options);
    view.watch(engine);
    engine.log().setDirectory(QFile::encodeName(work) + '/');
    const QString resultsPath = work + QStringLiteral("/results.tsv");
    if (withHook) {
        const QString hook = work + QStringLiteral("/on-result.sh");
        if (!writeHook(hook, o.onResultSleepMs, resultsPath)) {
            std::fprintf(stderr, "soak: cannot write the hook\n");
            return 2;
        }
        engine.results().setCommand(hook);
    }

    // Start against one gateway, then the other, again after every stop.
    int starts = 0;
    auto start = [&] {
        const SoakGateway& g = starts % 2 == 0 ? closing : resetting;
        settings.replace({ outDir, bakDir, "127.0.0.1", QByteArray::number(g.port), "soak", "secret", SoakKey });
        ++starts;
        runGuarded(view, [&] { engine.link().start(); });
    };

    qint64 baselineKb = -1;
    qint64 peakKb = 0;
    QElapsedTimer clock;
    clock.start();
    qint64 baselineMs = 0;
    const qint64 limitMs = o.limitMs;
    bool timedOut = false;

    std::vector<qint64> tickGaps;
    tickGaps.reserve(size_t(files) * 4);
    FastTicker ticker(engine, view, o.tickMs);
    ticker.gaps = &tickGaps;
    QTimer watch;
    watch.setInterval(5);
    qint64 polls = 0;
    QObject::connect(&watch, &QTimer::timeout, &watch, [&] {
        const qint64 handled = view.answers + view.unanswered.size();
        if ((++polls % 20) == 0)
            peakKb = qMax(peakKb, residentKilobytes());
        if (baselineKb < 0 && handled >= 1000) {
            baselineKb = residentKilobytes();
            baselineMs = clock.elapsed();
        }
        if (clock.elapsed() > limitMs) {
            timedOut = true;
            QCoreApplication::quit();
            return;
        }
        const bool stopped = !engine.link().isConnected() && !engine.link().isPending();
        if (stopped && hasFiles(outDir)) {
            start();
        } else if (!stopped && !hasFiles(outDir) && engine.link().unansweredCount() == 0) {
            runGuarded(view, [&] { engine.link().stop(); });
            QCoreApplication::quit();
        } else if (stopped && !hasFiles(outDir)) {
            QCoreApplication::quit();
        }
    });
    ticker.start();
    watch.start();
    start();
    QCoreApplication::exec();
    const qint64 elapsedMs = clock.elapsed();
    // The hook's queue drains after the last message.
    qint64 drainMs = 0;
    if (withHook) {
        QEventLoop drain;
        QObject::connect(&engine.results(), &ResultHook::idle, &drain, &QEventLoop::quit);
        QTimer::singleShot(std::max<qint64>(1000, limitMs - elapsedMs), &drain, &QEventLoop::quit);
        if (engine.results().running() > 0 || engine.results().waiting() > 0)
            drain.exec();
        drainMs = clock.elapsed() - elapsedMs;
    }
    const QList<QByteArray> undelivered = engine.results().finish();
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
    inOutbox += checkOutbox(outDir, sent, &seen, &failures);
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
    const qsizetype twice = checkWholeAndOnce(inOutbox, inBackup, seen.size(), files, sent, &failures);
    if (!view.errors.isEmpty())
        failures.append(
            QStringLiteral("%1 errors shown, the first: %2").arg(view.errors.size()).arg(view.errors.first()));
    QByteArray resultSummary;
    if (withHook) {
        for (const QByteArray& line : view.resultFailures)
            failures.append(QString::fromLatin1(line));
        if (!undelivered.isEmpty())
            failures.append(QStringLiteral("%1 results not delivered").arg(undelivered.size()));
        checkResults(resultsPath, bakDir, named, &failures, &resultSummary);
    }
    std::sort(tickGaps.begin(), tickGaps.end());
    if (o.maxTickP99Us >= 0 && quantile(tickGaps, 0.99) > o.maxTickP99Us)
        failures.append(QStringLiteral("ticks late: p99 gap %1 us").arg(quantile(tickGaps, 0.99)));
    const qint64 growthKb = baselineKb < 0 ? 0 : finalKb - baselineKb;
    if (baselineKb >= 0 && growthKb >= o.maxGrowthKb)
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
    std::printf("soak: ticks at %d ms: %s\n", o.tickMs, gapFigures(tickGaps).constData());
    if (withHook)
        std::printf("soak: result hook sleeping %d ms: %s; drained %.1f s after the last message\n", o.onResultSleepMs,
            resultSummary.constData(), drainMs / 1000.0);
    if (baselineKb >= 0)
        std::printf("soak: resident memory %lld kB at message 1000 (%.1f s), %lld kB at the end, growth %lld kB, "
                    "peak %lld kB\n",
            static_cast<long long>(baselineKb), baselineMs / 1000.0, static_cast<long long>(finalKb),
            static_cast<long long>(growthKb), static_cast<long long>(peakKb));
    else
        std::printf("soak: resident memory %lld kB at the end (under 1,000 messages: growth not checked)\n",
            static_cast<long long>(finalKb));
    return verdict("soak", failures);
}
