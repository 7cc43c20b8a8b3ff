// Soak run: thousands of message files through the real engine to two real
// substitute gateways, one that closes its connections and one that resets
// them every few hundred records, with Start pressed again after each stop.
// Ticks come as fast as the tick interval allows instead of every 200 ms.
// At the end it checks that nothing was lost or sent twice and that memory
// did not grow, prints its figures and exits 0 only when every check held.
// With --on-result-sleep a result hook that sleeps runs for every message;
// then every fate must reach it exactly once, and the tick gaps show whether
// the hook held the ticks up. With --senders N, marlek-smsd services share
// one outbox (see runSenders()).
#include "dispatchengine.h"
#include "errorroute.h"
#include "gatewayprocess.h"
#include "operatorview.h"
#include "record.h"
#include "recordingview.h"
#include "sendjournal.h"
#include "settings.h"
#include "textfile.h"
#include "timestamp.h"
#include "workdirlock.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <unistd.h>
#include <vector>

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

// The main window as far as the soak needs it: a counting view whose every
// line goes to a file; only the lines that name messages stay in memory.
class SoakView : public RecordingView
{
public:
    explicit SoakView(const QString& logPath)
        : RecordingView(Counting)
        , m_file(logPath)
    {
        m_file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        saveLog = true;
        pollInterval = "200";
        viewActions = false;
        onLine = [this](const QByteArray& line) { tally(line); };
        onError = [this](const QString& text) { m_file.write("ERROR: " + text.toLatin1() + '\n'); };
    }

    QByteArrayList unanswered;
    QByteArrayList moveFailures;
    QByteArrayList resultFailures;
    qint64 answers = 0;
    int connects = 0;
    int disconnects = 0;
    int socketErrors = 0;

private:
    void tally(const QByteArray& line)
    {
        m_file.write(line + '\n');
        if (line.startsWith("No reply for "))
            unanswered.append(line.mid(13));
        else if (line.startsWith("Cannot move "))
            moveFailures.append(line);
        else if (line == "Transaction Success..." || line == "Transaction Fail...")
            ++answers;
        else if (line.startsWith("Result "))
            resultFailures.append(line);
        else if (line == "Connected")
            ++connects;
        else if (line == "Socket Disconnect")
            ++disconnects;
        else if (line == "Socket Error")
            ++socketErrors;
    }
    QFile m_file;
};

// The substitute gateway with its record log and a counter that lasts.
struct Gateway : GatewayProcess
{
    QString log;

    bool start(const QString& binary, const QString& logPath, const QStringList& fault)
    {
        log = logPath;
        return GatewayProcess::start(
            QStringList { QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--log"), logPath,
                QStringLiteral("--counter"), QStringLiteral("99999999") }
                + fault,
            binary);
    }
};

// Message requests in a record log, counted by their text.
// Message i: the four kinds in turn, its message id as its text.
void writeMessageFile(const QByteArray& outDir, int i)
{
    TextFile::writeLines(outDir + messageId(i) + Extensions[i % 4],
        { "39" + QByteArray::number(3000000000LL + i), "Soak", messageId(i) });
}

void writeMessageFiles(const QByteArray& outDir, int files)
{
    for (int i = 0; i < files; ++i)
        writeMessageFile(outDir, i);
}

// The files left in the outbox, each known by its message id (its third
// line): none may also have reached the gateway or stand there twice.
int checkOutbox(
    const QByteArray& outDir, const QHash<QByteArray, int>& sent, QSet<QByteArray>* seen, QStringList* failures)
{
    int count = 0;
    for (const QString& name : QDir(QFile::decodeName(outDir)).entryList(QDir::Files)) {
        const QByteArray id = TextFile::readLines(outDir + QFile::encodeName(name)).value(2);
        ++count;
        if (sent.contains(id))
            failures->append(QStringLiteral("%1 is still in the outbox but reached the gateway").arg(name));
        if (seen->contains(id))
            failures->append(QStringLiteral("%1 is there twice").arg(QString::fromLatin1(id)));
        seen->insert(id);
    }
    return count;
}

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

// Every file in the outbox or the backup directory, once; no message sent
// twice. Returns how many were sent more than once.
qsizetype checkWholeAndOnce(qsizetype inOutbox, qsizetype inBackup, qsizetype seen, int files,
    const QHash<QByteArray, int>& sent, QStringList* failures)
{
    if (inOutbox + inBackup != files || seen != files)
        failures->append(QStringLiteral("%1 files in the outbox and %2 in the backup directory, of %3")
                             .arg(inOutbox)
                             .arg(inBackup)
                             .arg(files));
    const auto twice = std::count_if(sent.cbegin(), sent.cend(), [](int n) { return n > 1; });
    if (twice > 0)
        failures->append(QStringLiteral("%1 messages reached the gateway more than once").arg(twice));
    return twice;
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

// ---- Kill mode: the engine runs in child processes that are SIGKILLed ----
// The parent drops the files (outbox on /dev/shm, backup and working
// directory on the working disk), then starts the engine as a child of its
// own ("--child") again and again, killing it at random moments: while
// records wait for their replies, in the middle of moves across file
// systems. The last child runs to the end. Every run appends its log lines
// to one file, written straight through, so a kill loses none.
namespace {
// Log lines written straight through, so that a kill loses none.
class KillChildView : public RecordingView
{
public:
    explicit KillChildView(const QByteArray& logPath)
        : RecordingView(Counting)
        , m_fd(::open(logPath.constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644))
    {
        pollInterval = "200";
        viewActions = false;
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

QString argValue(const QStringList& args, const QString& name, const QString& fallback = {})
{
    const qsizetype at = args.indexOf(name);
    return at >= 0 && at + 1 < args.size() ? args.at(at + 1) : fallback;
}

bool dirHasFiles(const QByteArray& dir)
{
    return !QDir(QFile::decodeName(dir)).isEmpty(QDir::Files);
}

// One run of the engine in a working directory, until the outbox is empty
// and every record is answered, or until it is killed. Exit 3: the
// directory is locked by another running copy.
int killChildMain(const QStringList& args)
{
    const QString work = argValue(args, QStringLiteral("--work"));
    const QByteArray outDir = QFile::encodeName(argValue(args, QStringLiteral("--outbox")));
    const QByteArray bakDir = QFile::encodeName(argValue(args, QStringLiteral("--backup")));
    const QByteArray port = argValue(args, QStringLiteral("--port")).toLatin1();
    WorkdirLock lock;
    if (!lock.tryLock(work)) {
        std::fprintf(stderr, "%s\n", qPrintable(lock.errorText()));
        return 3;
    }
    const QByteArray workDir = QFile::encodeName(work) + '/';
    SettingsStore settings;
    settings.replace({ outDir, bakDir, "127.0.0.1", port, "soak", "secret", Key });
    KillChildView view(workDir + "runs.log");
    DispatchEngine engine(settings, view, Clock::system());
    engine.log.setDirectory(workDir);
    runGuarded(view, [&] { engine.openJournal(workDir); });

    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(1);
    qint64 lastTickEndMs = 0;
    QObject::connect(&ticker, &QTimer::timeout, &ticker, [&] {
        // Backup names tell milliseconds apart.
        if (!engine.link.timer().isActive() || QDateTime::currentMSecsSinceEpoch() <= lastTickEndMs)
            return;
        runGuarded(view, [&] { engine.tick.Timer1Timer(); });
        lastTickEndMs = QDateTime::currentMSecsSinceEpoch();
    });
    QTimer watch;
    watch.setInterval(5);
    QObject::connect(&watch, &QTimer::timeout, &watch, [&] {
        const bool stopped = !engine.link.isConnected() && !engine.link.isPending();
        if (stopped && dirHasFiles(outDir)) {
            runGuarded(view, [&] { engine.link.Start1Click(); });
        } else if (!stopped && !dirHasFiles(outDir) && engine.link.unansweredCount() == 0) {
            runGuarded(view, [&] { engine.link.Stop1Click(); });
            QCoreApplication::quit();
        } else if (stopped) {
            QCoreApplication::quit();
        }
    });
    ticker.start();
    watch.start();
    return QCoreApplication::exec();
}

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

int killSoakMain(const QStringList& args)
{
    const int files = argValue(args, QStringLiteral("--files"), QStringLiteral("2000")).toInt();
    const int kills = argValue(args, QStringLiteral("--kill"), QStringLiteral("50")).toInt();
    const QString gatewayBinary = argValue(args, QStringLiteral("--gateway"), qEnvironmentVariable("SMS_GATEWAY_BIN"));
    const qint64 limitMs = argValue(args, QStringLiteral("--max-seconds"), QStringLiteral("1800")).toLongLong() * 1000;
    const quint32 seed
        = argValue(args, QStringLiteral("--seed"), QString::number(QRandomGenerator::global()->generate())).toUInt();
    if (files <= 0 || kills < 0 || gatewayBinary.isEmpty()) {
        std::fprintf(stderr, "soak: need --files N > 0, --kill N and --gateway PATH (or SMS_GATEWAY_BIN)\n");
        return 2;
    }
    QRandomGenerator random(seed);
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
    Gateway accepting;
    Gateway refusing;
    if (!accepting.start(
            gatewayBinary, work + QStringLiteral("/accepting.log"), { QStringLiteral("--delay"), QStringLiteral("3") })
        || !refusing.start(gatewayBinary, work + QStringLiteral("/refusing.log"),
            { QStringLiteral("--delay"), QStringLiteral("3"), QStringLiteral("--result"), QStringLiteral("7") })) {
        std::fprintf(stderr, "soak: the gateway did not start\n");
        return 2;
    }
    const QByteArray journal = QFile::encodeName(work) + '/' + SendJournal::FileName;
    auto childArgs = [&](int run) {
        const Gateway& g = run % 5 == 4 ? refusing : accepting;
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

    qint64 noReplyLines = 0;
    for (int n : std::as_const(noReply))
        noReplyLines += n;
    qint64 refusedLines = 0;
    for (int n : std::as_const(refused))
        refusedLines += n;
    std::printf("soak --kill: %d files, %d kills over %d runs, %.1f s, seed %u\n", files, killed, runs,
        elapsedMs / 1000.0, seed);
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
        static_cast<long long>(answers), static_cast<long long>(noReplyLines), static_cast<long long>(refusedLines),
        named, namedTwice, lockRefusals);
    for (const QString& f : failures)
        std::printf("soak --kill: FAILED: %s\n", qPrintable(f));
    if (failures.isEmpty())
        std::printf("soak --kill: passed\n");
    return failures.isEmpty() ? 0 : 1;
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
        writeMessageFile(outDir, i);

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

// Senders mode: several marlek-smsd services share one outbox, each with its
// own working folder, settings file, substitute gateway and backup folder.
// One service alone goes through the same files first, at the same poll, so
// that the throughput of the many is measured against it.
namespace {
struct Sender
{
    QString work;
    QByteArray bakDir;
    Gateway gateway;
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

struct SendersRun
{
    qint64 elapsedMs = 0;
    QList<qsizetype> perSender; // messages at each sender's gateway
    int racesLost = 0; // moves undone in the journals: files another sender took
};

SendersRun runSenders(const QString& dir, int senders, int files, const QString& gatewayBinary,
    const QString& serviceBinary, int pollMs, qint64 limitMs, QStringList* failures)
{
    SendersRun run;
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
        if (!s->gateway.start(gatewayBinary, s->work + QStringLiteral("/gateway.log"), {})) {
            fail(QStringLiteral("a gateway did not start: %1").arg(s->gateway.error));
            return run;
        }
        TextFile::writeLines(QFile::encodeName(s->work) + '/' + SettingsStore::FileName,
            { outDir, s->bakDir, "127.0.0.1", QByteArray::number(s->gateway.port), "soak", "secret", Key });
        all.push_back(std::move(s));
    }

    QElapsedTimer clock;
    clock.start();
    for (const auto& s : all)
        s->service.start({ QStringLiteral("--workdir"), s->work, QStringLiteral("--poll"), QString::number(pollMs) },
            {}, serviceBinary);
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
        return ended || (sum >= files && QDir(QFile::decodeName(outDir)).isEmpty(QDir::Files));
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

QByteArray sendersFigures(const SendersRun& run, int senders, int files)
{
    QByteArrayList shares;
    for (const qsizetype n : run.perSender)
        shares.append(QByteArray::number(n));
    return QByteArray::number(senders) + (senders == 1 ? " sender " : " senders ")
        + QByteArray::number(run.elapsedMs / 1000.0, 'f', 1) + " s, "
        + QByteArray::number(run.elapsedMs > 0 ? files * 1000.0 / run.elapsedMs : 0.0, 'f', 2) + " files/s (per sender "
        + shares.join(" / ") + "; races lost " + QByteArray::number(run.racesLost) + ")";
}

int sendersMain(int senders, int files, const QString& gatewayBinary, const QString& serviceBinary, int pollMs,
    double minRatio, qint64 limitMs)
{
    QTemporaryDir tmp;
    QStringList failures;
    QElapsedTimer clock;
    clock.start();
    SendersRun alone;
    if (senders > 1) {
        alone = runSenders(
            tmp.filePath(QStringLiteral("one")), 1, files, gatewayBinary, serviceBinary, pollMs, limitMs, &failures);
        std::printf("soak --senders: %d files at a %d ms poll: %s\n", files, pollMs,
            sendersFigures(alone, 1, files).constData());
    }
    const SendersRun many = runSenders(tmp.filePath(QStringLiteral("many")), senders, files, gatewayBinary,
        serviceBinary, pollMs, std::max<qint64>(1000, limitMs - clock.elapsed()), &failures);
    std::printf("soak --senders: %d files at a %d ms poll: %s\n", files, pollMs,
        sendersFigures(many, senders, files).constData());
    if (senders > 1 && many.elapsedMs > 0) {
        const double ratio = double(alone.elapsedMs) / double(many.elapsedMs);
        std::printf("soak --senders: %d senders against one: %.2fx the throughput\n", senders, ratio);
        if (ratio < minRatio)
            failures.append(
                QStringLiteral("%1x one sender's throughput, less than %2x").arg(ratio, 0, 'f', 2).arg(minRatio));
    }
    for (const QString& f : failures)
        std::printf("soak --senders: FAILED: %s\n", qPrintable(f));
    if (failures.isEmpty())
        std::printf("soak --senders: passed\n");
    return failures.isEmpty() ? 0 : 1;
}
} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (app.arguments().contains(QStringLiteral("--child")))
        return killChildMain(app.arguments());
    if (app.arguments().contains(QStringLiteral("--kill")))
        return killSoakMain(app.arguments());
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
    const QCommandLineOption hookOption(QStringLiteral("on-result-sleep"),
        QStringLiteral("Run a result hook that sleeps this long, then records the fate."), QStringLiteral("MS"));
    const QCommandLineOption paceOption(QStringLiteral("max-tick-p99-us"),
        QStringLiteral("Fail when the 99th percentile of the gaps between ticks exceeds this (a pace check for a "
                       "quiet machine; off by default)."),
        QStringLiteral("US"));
    const QCommandLineOption sendersOption(QStringLiteral("senders"),
        QStringLiteral("Run this many marlek-smsd services on one outbox, after one alone on the same files."),
        QStringLiteral("N"));
    const QCommandLineOption serviceOption(QStringLiteral("service"),
        QStringLiteral("The marlek-smsd program (default: $SMSD_BIN)."), QStringLiteral("PATH"),
        qEnvironmentVariable("SMSD_BIN"));
    const QCommandLineOption ratioOption(QStringLiteral("min-ratio"),
        QStringLiteral("With --senders: the least throughput against one sender's."), QStringLiteral("R"),
        QStringLiteral("2.7"));
    parser.addOptions({ filesOption, closeOption, resetOption, tickOption, limitOption, growthOption, gatewayOption,
        keepOption, hookOption, paceOption, dropOption, sendersOption, serviceOption, ratioOption });
    parser.process(app);

    const int files = parser.value(filesOption).toInt();
    const QString gatewayBinary = parser.value(gatewayOption);
    if (files <= 0 || gatewayBinary.isEmpty()) {
        std::fprintf(stderr, "soak: need --files N > 0 and --gateway PATH (or SMS_GATEWAY_BIN)\n");
        return 2;
    }
    if (parser.isSet(sendersOption)) {
        const int senders = parser.value(sendersOption).toInt();
        if (senders <= 0 || parser.value(serviceOption).isEmpty()) {
            std::fprintf(stderr, "soak: need --senders N > 0 and --service PATH (or SMSD_BIN)\n");
            return 2;
        }
        // The service polls at 200 ms at the fastest.
        return sendersMain(senders, files, gatewayBinary, parser.value(serviceOption),
            parser.isSet(tickOption) ? parser.value(tickOption).toInt() : 200, parser.value(ratioOption).toDouble(),
            parser.value(limitOption).toLongLong() * 1000);
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

    writeMessageFiles(outDir, files);

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
    const QString resultsPath = work + QStringLiteral("/results.tsv");
    if (parser.isSet(hookOption)) {
        const QString hook = work + QStringLiteral("/on-result.sh");
        QFile script(hook);
        const double seconds = parser.value(hookOption).toDouble() / 1000.0;
        // One printf, one write: four hooks at once do not mix their lines.
        if (!script.open(QIODevice::WriteOnly)
            || script.write("#!/bin/sh\nsleep " + QByteArray::number(seconds)
                   + "\nprintf '%s\\t%s\\t%s\\t%s\\t%s\\n' \"$@\" >> '" + QFile::encodeName(resultsPath) + "'\n")
                < 0
            || !script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)) {
            std::fprintf(stderr, "soak: cannot write the hook\n");
            return 2;
        }
        script.close();
        engine.results.setCommand(hook);
    }

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
    // How late the ticks come: gaps between timer calls while the link runs.
    std::vector<qint64> tickGaps;
    tickGaps.reserve(size_t(files) * 4);
    qint64 lastCallNs = -1;
    QObject::connect(&ticker, &QTimer::timeout, &app, [&] {
        const qint64 nowNs = clock.nsecsElapsed();
        if (!engine.link.timer().isActive()) {
            lastCallNs = -1;
            return;
        }
        if (lastCallNs >= 0)
            tickGaps.push_back((nowNs - lastCallNs) / 1000);
        lastCallNs = nowNs;
        if (QDateTime::currentMSecsSinceEpoch() <= lastTickEndMs)
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
    // The hook's queue drains after the last message.
    qint64 drainMs = 0;
    if (parser.isSet(hookOption)) {
        QEventLoop drain;
        QObject::connect(&engine.results, &ResultHook::idle, &drain, &QEventLoop::quit);
        QTimer::singleShot(std::max<qint64>(1000, limitMs - elapsedMs), &drain, &QEventLoop::quit);
        if (engine.results.running() > 0 || engine.results.waiting() > 0)
            drain.exec();
        drainMs = clock.elapsed() - elapsedMs;
    }
    const QList<QByteArray> undelivered = engine.results.finish();
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
    if (parser.isSet(hookOption)) {
        for (const QByteArray& line : view.resultFailures)
            failures.append(QString::fromLatin1(line));
        if (!undelivered.isEmpty())
            failures.append(QStringLiteral("%1 results not delivered").arg(undelivered.size()));
        checkResults(resultsPath, bakDir, named, &failures, &resultSummary);
    }
    std::sort(tickGaps.begin(), tickGaps.end());
    if (parser.isSet(paceOption) && quantile(tickGaps, 0.99) > parser.value(paceOption).toLongLong())
        failures.append(QStringLiteral("ticks late: p99 gap %1 us").arg(quantile(tickGaps, 0.99)));
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
    std::printf("soak: ticks at %s ms: %s\n", qPrintable(parser.value(tickOption)), gapFigures(tickGaps).constData());
    if (parser.isSet(hookOption))
        std::printf("soak: result hook sleeping %s ms: %s; drained %.1f s after the last message\n",
            qPrintable(parser.value(hookOption)), resultSummary.constData(), drainMs / 1000.0);
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
