// The kill run: the engine runs in child processes that are SIGKILLed. The
// parent drops the files (outbox on /dev/shm, backup and working directory
// on the working disk), then starts the engine as a child of its own
// ("--child") again and again, killing it at random moments: while records
// wait for their replies, in the middle of moves across file systems. The
// last child runs to the end. Every run appends its log lines to one file,
// written straight through, so a kill loses none.
#include "dispatchengine.h"
#include "errorroute.h"
#include "sendjournal.h"
#include "settings.h"
#include "smserror.h"
#include "soakchecks.h"
#include "soakoptions.h"
#include "soakruns.h"
#include "textfile.h"
#include "timestamp.h"
#include "workdirlock.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {
// Log lines written straight through, so that a kill loses none.
class KillChildView : public RecordingView
{
public:
    explicit KillChildView(const QByteArray& logPath)
        : RecordingView(Counting)
        , m_fd(::open(logPath.constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644))
    {
        options.pollInterval = 200;
        options.logFoundFiles = false;
        onLine = [this](const QByteArray& line) { put(line); };
        onError = [this](const QString& text) { put("ERROR: " + text.toLocal8Bit()); };
    }
    ~KillChildView() override { ::close(m_fd); }

private:
    void put(const QByteArray& line)
    {
        const QByteArray l = line + '\n';
        if (::write(m_fd, l.constData(), size_t(l.size())) != l.size())
            std::fprintf(stderr, "soak child: log write failed\n");
    }
    int m_fd;
};

// What a kill left behind, read from the journal before the next start.
struct KillState
{
    int inMove = 0; // journaled, move not finished
    int awaitingReply = 0; // moved and sent, no answer yet
};

KillState journalState(const QByteArray& journalPath)
{
    QHash<QByteArray, int> state; // 1 journaled, 2 moved
    QFile f(QFile::decodeName(journalPath));
    if (f.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : f.readAll().split('\n')) {
            if (line.size() < 3)
                continue;
            const QByteArray backup = line.mid(2).split('\t').first();
            if (line[0] == 'S')
                state.insert(backup, 1);
            else if (line[0] == 'M')
                state.insert(backup, 2);
            else
                state.remove(backup);
        }
    }
    KillState k;
    for (int v : std::as_const(state))
        (v == 1 ? k.inMove : k.awaitingReply)++;
    return k;
}
} // namespace

// One run of the engine in a working directory, until the outbox is empty
// and every record is answered, or until it is killed. Exit 3: the
// directory is locked by another running copy.
int runKillChild(const SoakOptions& o)
{
    const QByteArray outDir = o.childOutDir;
    WorkdirLock lock;
    try {
        lock.lock(o.childWork);
    } catch (const SmsError& e) {
        std::fprintf(stderr, "%s\n", qPrintable(e.text()));
        return 3;
    }
    const QByteArray workDir = QFile::encodeName(o.childWork) + '/';
    SettingsStore settings;
    settings.replace({ outDir, o.childBakDir, "127.0.0.1", o.childPort, "soak", "secret", SoakKey });
    KillChildView view(workDir + "runs.log");
    DispatchEngine engine(settings, view, Clock::system());
    engine.configure(view.options);
    view.watch(engine);
    engine.log().setDirectory(workDir);
    runGuarded(view, [&] { engine.start(workDir); });

    FastTicker ticker(engine, view, 1);
    QTimer watch;
    watch.setInterval(5);
    QObject::connect(&watch, &QTimer::timeout, &watch, [&] {
        const bool stopped = !engine.link().isConnected() && !engine.link().isPending();
        if (stopped && hasFiles(outDir)) {
            runGuarded(view, [&] { engine.link().start(); });
        } else if (!stopped && !hasFiles(outDir) && engine.link().unansweredCount() == 0) {
            runGuarded(view, [&] { engine.link().stop(); });
            QCoreApplication::quit();
        } else if (stopped) {
            QCoreApplication::quit();
        }
    });
    ticker.start();
    watch.start();
    return QCoreApplication::exec();
}

int runKill(const SoakOptions& o)
{
    const int files = o.files;
    const int kills = o.kills;
    const qint64 limitMs = o.limitMs;
    QRandomGenerator random(o.seed);
    // Working directory and backup on the working disk, outbox in memory:
    // every move crosses file systems.
    QTemporaryDir workTmp(QDir::current().absoluteFilePath(QStringLiteral("soak-kill-XXXXXX")));
    QTemporaryDir shmTmp(QStringLiteral("/dev/shm/soak-kill-XXXXXX"));
    if (!workTmp.isValid() || !shmTmp.isValid()) {
        std::fprintf(stderr, "soak: cannot make the directories\n");
        return 2;
    }
    if (!qEnvironmentVariableIsEmpty("SOAK_KEEP"))
        workTmp.setAutoRemove(false);
    const QString work = workTmp.path();
    const QByteArray outDir = QFile::encodeName(shmTmp.path()) + '/';
    const QByteArray bakDir = QFile::encodeName(work) + "/backup/";
    QDir().mkpath(QFile::decodeName(bakDir));
    writeMessageFiles(outDir, files);

    // Most runs go to a gateway that accepts after a pause, so that records
    // wait for replies; every fifth to one that refuses everything, log-in
    // included.
    SoakGateway accepting;
    SoakGateway refusing;
    if (!accepting.start(o.gatewayBinary, work + QStringLiteral("/accepting.log"),
            { QStringLiteral("--delay"), QStringLiteral("3") })
        || !refusing.start(o.gatewayBinary, work + QStringLiteral("/refusing.log"),
            { QStringLiteral("--delay"), QStringLiteral("3"), QStringLiteral("--result"), QStringLiteral("7") })) {
        std::fprintf(stderr, "soak: the gateway did not start\n");
        return 2;
    }
    const QByteArray journal = QFile::encodeName(work) + '/' + SendJournal::FileName;
    auto childArgs = [&](int run) {
        const SoakGateway& g = run % 5 == 4 ? refusing : accepting;
        return QStringList { QStringLiteral("--child"), QStringLiteral("--work"), work, QStringLiteral("--outbox"),
            QFile::decodeName(outDir), QStringLiteral("--backup"), QFile::decodeName(bakDir), QStringLiteral("--port"),
            QString::number(g.port) };
    };

    QStringList failures;
    QElapsedTimer clock;
    clock.start();
    int killed = 0;
    int runs = 0;
    int lockRefusals = 0;
    KillState left;
    int partsSeen = 0;
    for (; killed < kills && clock.elapsed() < limitMs; ++runs) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(), childArgs(runs));
        if (!child.waitForStarted(5000)) {
            failures.append(QStringLiteral("a child did not start"));
            break;
        }
        if (runs == 0) {
            // A second copy in the same directory is turned away, once the
            // first holds the lock.
            const QString lockPath = work + QLatin1Char('/') + QString::fromLatin1(WorkdirLock::FileName);
            const QDeadlineTimer lockDeadline(10000);
            while (!QFile::exists(lockPath) && !lockDeadline.hasExpired())
                QThread::msleep(5);
            QProcess second;
            second.start(QCoreApplication::applicationFilePath(), childArgs(runs));
            second.waitForFinished(10000);
            if (second.exitCode() == 3)
                ++lockRefusals;
            else
                failures.append(QStringLiteral("a second copy in the same folder was not refused"));
        }
        // Killed once it has moved a random number of files, on average
        // half its share of what is left so that the files last for every
        // kill, and then a few milliseconds later: anywhere in a tick, a move
        // or a wait for replies.
        auto outboxCount = [&] { return QDir(QFile::decodeName(outDir)).entryList(QDir::Files).size(); };
        const qsizetype before = outboxCount();
        const qint64 share = qMax<qint64>(1, before / (kills - killed + 1));
        const qsizetype target = 1 + qsizetype(random.bounded(quint32(share)));
        const QDeadlineTimer stuck(10000);
        while (child.state() == QProcess::Running && before - outboxCount() < target && !stuck.hasExpired())
            child.waitForFinished(2);
        if (child.state() != QProcess::Running)
            break; // ran out of files before the kill
        child.waitForFinished(int(random.bounded(8)));
        child.kill();
        child.waitForFinished(5000);
        ++killed;
        const KillState k = journalState(journal);
        left.inMove += k.inMove;
        left.awaitingReply += k.awaitingReply;
        const QStringList parts = QDir(QFile::decodeName(bakDir)).entryList({ QStringLiteral("*.part") }, QDir::Files);
        partsSeen += int(parts.size());
    }
    // The last run goes to the end; its start names what the last kill left.
    {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(), childArgs(0));
        ++runs;
        if (!child.waitForFinished(int(qMax<qint64>(1000, limitMs - clock.elapsed()))) || child.exitCode() != 0)
            failures.append(QStringLiteral("the last run did not end cleanly (exit %1)").arg(child.exitCode()));
        child.kill();
        child.waitForFinished(5000);
    }
    const qint64 elapsedMs = clock.elapsed();

    // The checks: the gateways' record logs are the truth of what was sent.
    QHash<QByteArray, int> sent;
    QHash<QByteArray, int> refusedSent;
    qint64 logins = 0;
    countRecords(accepting.log, &sent, &logins);
    countRecords(refusing.log, &refusedSent, &logins);
    for (auto it = refusedSent.cbegin(); it != refusedSent.cend(); ++it)
        sent[it.key()] += it.value();
    QHash<QByteArray, int> noReply;
    QHash<QByteArray, int> refused;
    qint64 answers = 0;
    qint64 refusedAsLogin = 0; // a message's reply read as a failed log-in
    qint64 errors = 0;
    QFile runsLog(work + QStringLiteral("/runs.log"));
    if (runsLog.open(QIODevice::ReadOnly)) {
        QByteArray previous;
        for (const QByteArray& line : runsLog.readAll().split('\n')) {
            const bool afterLogin = previous.startsWith("Trans result = : ");
            previous = line;
            if (line.startsWith("No reply for "))
                ++noReply[line.mid(13)];
            else if (line.startsWith("Refused: ")) {
                ++refused[line.mid(9)];
                refusedAsLogin += afterLogin ? 1 : 0;
            } else if (line == "Transaction Success..." || line == "Transaction Fail...")
                ++answers;
            else if (line.startsWith("ERROR: ")) {
                if (++errors == 1)
                    failures.append(QStringLiteral("an error was shown: %1").arg(QString::fromLocal8Bit(line)));
            }
        }
    }
    QSet<QByteArray> seen;
    int inOutbox = 0;
    int inBackup = 0;
    int named = 0;
    int namedTwice = 0;
    inOutbox += checkOutbox(outDir, sent, &seen, &failures);
    for (const QString& name : QDir(QFile::decodeName(bakDir)).entryList(QDir::Files | QDir::Hidden)) {
        const QByteArray path = bakDir + QFile::encodeName(name);
        if (!name.startsWith(QStringLiteral("SmsFile_")) || name.endsWith(QLatin1String(".part"))) {
            failures.append(QStringLiteral("%1 left behind in the backup directory").arg(name));
            continue;
        }
        const QByteArray id = TextFile::readLines(path).value(2);
        ++inBackup;
        const int times = noReply.value(path) + refused.value(path);
        if (times > 0)
            ++named;
        if (times > 1)
            ++namedTwice;
        if (times == 0 && sent.value(id) != 1)
            failures.append(
                QStringLiteral("%1 left the outbox, never reached the gateway and is named nowhere").arg(name));
        if (refusedSent.contains(id) && times == 0)
            failures.append(QStringLiteral("%1 was refused and is named nowhere").arg(name));
        if (seen.contains(id))
            failures.append(QStringLiteral("%1 is there twice").arg(QString::fromLatin1(id)));
        seen.insert(id);
    }
    const qsizetype twice = checkWholeAndOnce(inOutbox, inBackup, seen.size(), files, sent, &failures);
    if (namedTwice > 0)
        failures.append(QStringLiteral("%1 backup files were named more than once").arg(namedTwice));
    // Every message that left the outbox had its reply logged or was named.
    qint64 noReplyCount = 0;
    for (int n : std::as_const(noReply))
        noReplyCount += n;
    const qint64 accounted = answers + refusedAsLogin + noReplyCount;
    if (accounted < inBackup)
        failures.append(QStringLiteral("%1 replies and names for %2 backup files").arg(accounted).arg(inBackup));
    if (killed < kills)
        failures.append(QStringLiteral("only %1 of %2 kills made before the files ran out").arg(killed).arg(kills));

    qint64 refusedLines = 0;
    for (int n : std::as_const(refused))
        refusedLines += n;
    std::printf("soak --kill: %d files, %d kills over %d runs, %.1f s, seed %u\n", files, killed, runs,
        elapsedMs / 1000.0, o.seed);
    std::printf("soak --kill: left by the kills: %d in the middle of a move (%d temporary copies seen), %d sent and "
                "waiting for a reply\n",
        left.inMove, partsSeen, left.awaitingReply);
    std::printf("soak --kill: outbox %d, backup %d, gateway records %lld (each message at most once: %s), "
                "log-ins %lld\n",
        inOutbox, inBackup, static_cast<long long>(sent.size()), twice == 0 ? "yes" : "NO",
        static_cast<long long>(logins));
    std::printf("soak --kill: message replies logged %lld, of them read as a log-in %lld, plus \"No reply for\" "
                "%lld: %lld for %d backup files\n",
        static_cast<long long>(answers + refusedAsLogin), static_cast<long long>(refusedAsLogin),
        static_cast<long long>(noReplyCount), static_cast<long long>(accounted), inBackup);
    std::printf("soak --kill: answers logged %lld; named: \"No reply for\" %lld, \"Refused:\" %lld (backup files "
                "named %d, twice %d); second copy refused %d time(s)\n",
        static_cast<long long>(answers), static_cast<long long>(noReplyCount), static_cast<long long>(refusedLines),
        named, namedTwice, lockRefusals);
    return verdict("soak --kill", failures);
}
