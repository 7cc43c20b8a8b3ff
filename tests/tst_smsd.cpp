#include "engineoptions.h"
#include "fsutil.h"
#include "gatewayprocess.h"
#include "inflight.h"
#include "testgateway.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const QByteArray NoFile = "<no file>";

qint64 monotonicUsec()
{
    timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// "device:inode" of a file, as systemd puts it in JOURNAL_STREAM.
QByteArray deviceAndInode(const QString& path)
{
    struct stat st
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return "<no file>";
    return QByteArray::number(qulonglong(st.st_dev)) + ':' + QByteArray::number(qulonglong(st.st_ino));
}

// The environment with the variables set.
QProcessEnvironment environmentWith(const QList<std::pair<QString, QString>>& variables)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const auto& [name, value] : variables)
        env.insert(name, value);
    return env;
}
} // namespace

class TestSmsd : public QObject, protected ServiceFolder
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void refusesToStart_data();
    void refusesToStart();
    void reconnectsAfterGatewayRestart();
    void terminateNamesUnansweredMessage();
    void reloadKeepsBadSettingsAndFollowsNewPort();
    void oneCopyPerFolderAndKilledRunNamed();
    void tellsSystemdReadyStatusWatchdogReloadStop();
    void journalPriorities_data();
    void journalPriorities();
    void leaseOnAnotherUsersFile_data();
    void leaseOnAnotherUsersFile();
    void silentGatewayLeftBehind_data();
    void silentGatewayLeftBehind();
    void backOffDoublesAndResets();
    void drainEndsWithNothingUnnamed();
    void pauseBySignalOutlivesARestart();

private:
    void writeFile(const QByteArray& path, const QByteArray& content);
};

void TestSmsd::init()
{
    make();
}

void TestSmsd::writeFile(const QByteArray& path, const QByteArray& content)
{
    QFile f(QFile::decodeName(path));
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(content), content.size());
}

void TestSmsd::refusesToStart_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("settings");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("message");

    const QByteArray good = "out/\r\nbak/\r\n127.0.0.1\r\n1\r\nu\r\np\r\nk\r\n";
    QTest::newRow("poll under 200") << QStringList { QStringLiteral("--poll"), QStringLiteral("150") } << good << 2
                                    << QByteArray("--poll: 150 is too small, the least is 200");
    QTest::newRow("no settings file") << QStringList() << NoFile << 1 << QByteArray("SMS_Key_Client.inf not found in ");
    QTest::newRow("short settings file") << QStringList() << QByteArray("a\r\nb\r\nc\r\n") << 1
                                         << QByteArray("SMS_Key_Client.inf: List index out of bounds (3)");
    QTest::newRow("port not a number") << QStringList() << QByteArray(good).replace("\r\n1\r\n", "\r\nx\r\n") << 1
                                       << QByteArray("'x' is not a valid integer value");
}

void TestSmsd::refusesToStart()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, settings);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, message);
    if (settings != NoFile)
        writeFile(QFile::encodeName(workdir) + "/SMS_Key_Client.inf", settings);

    ServiceProcess smsd;
    smsd.start(QStringList { QStringLiteral("--workdir"), workdir } + arguments);
    QCOMPARE(smsd.waitForExit(), exitCode);
    const QByteArray err = smsd.errors();
    QVERIFY2(err.contains(message), err.constData());
    QCOMPARE(err.count('\n'), 1);
    if (settings == NoFile) // names the folder
        QVERIFY2(err.contains(QFile::encodeName(QDir(workdir).canonicalPath())), err.constData());
}

void TestSmsd::reconnectsAfterGatewayRestart()
{
    GatewayProcess first;
    QVERIFY(first.start("--counter 10"));
    const quint16 port = first.port;
    writeSettings(QByteArray::number(port));
    writeFile(outDir + "a.sms", "+391111\r\nAlice\r\nfirst\r\n");

    ServiceProcess smsd;
    smsd.start(serviceArguments());
    QTRY_COMPARE_WITH_TIMEOUT(smsd.count("Transaction Success..."), 1, 20000);
    QCOMPARE(backups(), 1);
    QVERIFY(smsd.lines().contains("Counter: 00000009"));

    first.process.kill();
    QTRY_COMPARE_WITH_TIMEOUT(smsd.count("Socket Disconnect"), 1, 20000);
    QTRY_VERIFY_WITH_TIMEOUT(smsd.lines().contains("Reconnecting in 1 s"), 20000);
    QTRY_COMPARE(first.process.state(), QProcess::NotRunning);

    // The same port again; the service finds it without being told.
    GatewayProcess second;
    QVERIFY(second.start(
        { QStringLiteral("--port"), QString::number(port), QStringLiteral("--counter"), QStringLiteral("5") }));
    writeFile(outDir + "b.sms", "+392222\r\nBob\r\nsecond\r\n");
    QTRY_COMPARE_WITH_TIMEOUT(smsd.count("Transaction Success..."), 2, 60000);
    QCOMPARE(smsd.count("Connection Success..."), 2);
    QCOMPARE(backups(), 2);
    QVERIFY(smsd.lines().contains("Counter: 00000004"));

    smsd.process.terminate();
    QCOMPARE(smsd.waitForExit(), 0);
    QVERIFY2(smsd.errors().isEmpty(), smsd.err.constData());
}

void TestSmsd::terminateNamesUnansweredMessage()
{
    FakeGateway gateway;
    QVERIFY(gateway.listen());
    writeSettings(gateway.port());
    // The unanswered message's fate reaches the result command before the end.
    const QString fates = workdir + QStringLiteral("/fates");
    QVERIFY(writeScript(workdir + QStringLiteral("/on result.sh"),
        "sleep 0.2; printf '%s|' \"$@\" > '" + QFile::encodeName(fates) + "'\n"));
    ServiceProcess smsd;
    smsd.start(serviceArguments({ QStringLiteral("--log-every"), QStringLiteral("3"), QStringLiteral("--on-result"),
        workdir + QStringLiteral("/on result.sh") }));
    QTRY_COMPARE_WITH_TIMEOUT(gateway.received.size(), 396, 20000);
    gateway.send(FakeGateway::reply('0', "00000007", "Hello\nthere"));
    QTRY_VERIFY_WITH_TIMEOUT(smsd.lines().contains("Info: Hello | there"), 20000);

    writeFile(outDir + "a.sms", "+391111\r\nAlice\r\nnever answered\r\n");
    QTRY_COMPARE_WITH_TIMEOUT(gateway.received.size(), 2 * 396, 20000);
    const QStringList sent = QDir(QFile::decodeName(bakDir)).entryList(QDir::Files);
    QCOMPARE(sent.size(), 1);

    smsd.process.terminate();
    QCOMPARE(smsd.waitForExit(), 0);
    const QByteArrayList lines = smsd.lines();
    const qsizetype at = lines.indexOf("Socket Disconnect");
    QVERIFY(at > 0);
    QCOMPARE(lines.value(at + 1), "No reply for " + bakDir + QFile::encodeName(sent.first()));
    QVERIFY(!smsd.out.contains("Reconnecting"));
    QCOMPARE(readRaw(fates), "unanswered|" + bakDir + QFile::encodeName(sent.first()) + "|a.sms|||");
    QVERIFY(!smsd.out.contains("Result "));

    // Every three lines went to a log file, as with "Save" checked.
    QByteArray saved;
    for (const QString& name : QDir(workdir).entryList({ QStringLiteral("SmsSender_*.log") }, QDir::Files))
        saved += readRaw(workdir + QLatin1Char('/') + name);
    QVERIFY2(saved.startsWith("Log messages...\r\n") || saved.contains("\r\nLog messages...\r\n"), saved.constData());
    QVERIFY(saved.contains("\r\nConnected\r\n"));
}

void TestSmsd::reloadKeepsBadSettingsAndFollowsNewPort()
{
    FakeGateway first;
    FakeGateway second;
    QVERIFY(first.listen());
    QVERIFY(second.listen());
    writeSettings(first.port());
    ServiceProcess smsd;
    smsd.start(serviceArguments());
    QTRY_COMPARE_WITH_TIMEOUT(first.received.size(), 396, 20000);
    const qint64 pid = smsd.process.processId();

    // A short file is refused; the link stays as it was.
    writeFile(QFile::encodeName(workdir) + "/SMS_Key_Client.inf", "only\r\ntwo\r\n");
    ::kill(pid_t(pid), SIGHUP);
    QTRY_VERIFY_WITH_TIMEOUT(
        smsd.errors().contains("List index out of bounds (2); the settings in use are kept"), 20000);
    QCOMPARE(first.disconnects, 0);

    writeSettings(second.port());
    ::kill(pid_t(pid), SIGHUP);
    QTRY_COMPARE_WITH_TIMEOUT(second.received.size(), 396, 20000);
    QTRY_COMPARE(first.disconnects, 1);
    QVERIFY(smsd.lines().contains("Settings read again"));
    QVERIFY(!smsd.out.contains("Reconnecting"));
}

void TestSmsd::oneCopyPerFolderAndKilledRunNamed()
{
    FakeGateway gateway;
    QVERIFY(gateway.listen());
    writeSettings(gateway.port());
    ServiceProcess killed;
    killed.start(serviceArguments());
    QTRY_COMPARE_WITH_TIMEOUT(gateway.received.size(), 396, 20000);
    gateway.send(FakeGateway::reply('0', "00000003"));
    writeFile(outDir + "a.sms", "+391111\r\nAlice\r\nsent, then killed\r\n");
    QTRY_COMPARE_WITH_TIMEOUT(gateway.received.size(), 2 * 396, 20000);

    ServiceProcess second;
    second.start(serviceArguments());
    QCOMPARE(second.waitForExit(), 1);
    QVERIFY2(second.errors().contains("The program is already running in this folder."), second.err.constData());

    // Killed without a word: the next start here names the message.
    killed.process.kill();
    QTRY_COMPARE(killed.process.state(), QProcess::NotRunning);
    const QStringList sent = QDir(QFile::decodeName(bakDir)).entryList(QDir::Files);
    QCOMPARE(sent.size(), 1);
    ServiceProcess next;
    next.start(serviceArguments());
    const QByteArray named = "No reply for " + bakDir + QFile::encodeName(sent.first());
    QTRY_VERIFY_WITH_TIMEOUT(next.lines().contains(named), 20000);
    QCOMPARE(next.count(named), 1);
}

void TestSmsd::tellsSystemdReadyStatusWatchdogReloadStop()
{
    constexpr qint64 WatchdogUsec = 1600000;
    FakeGateway gateway;
    QVERIFY(gateway.listen());
    writeSettings(gateway.port());
    for (const QByteArray name : { "a.sms", "b.sms", "c.sms" })
        writeFile(outDir + name, "+391111\r\nAlice\r\nqueued\r\n");
    NotifySocket manager;
    QVERIFY(manager.bind(QFile::encodeName(workdir) + "/notify"));
    ServiceProcess smsd;
    smsd.process.setProcessEnvironment(
        environmentWith({ { QStringLiteral("NOTIFY_SOCKET"), workdir + QStringLiteral("/notify") },
            { QStringLiteral("WATCHDOG_USEC"), QString::number(WatchdogUsec) } }));
    smsd.start(serviceArguments());
    const qint64 pid = smsd.process.processId();

    // Ready before the gateway has answered anything.
    QTRY_COMPARE_WITH_TIMEOUT(manager.count("READY=1"), 1, 20000);
    QTRY_COMPARE_WITH_TIMEOUT(gateway.received.size(), 396, 20000);
    const QByteArray gatewayAt = "127.0.0.1:" + gateway.port();
    QVERIFY(
        manager.messages().contains("STATUS=Connecting to " + gatewayAt + ", 3 files queued, counter not known yet"));
    QTRY_VERIFY_WITH_TIMEOUT(manager.count("WATCHDOG=1") >= 1, 20000);

    gateway.send(FakeGateway::reply('0', "00000007"));
    QTRY_COMPARE_WITH_TIMEOUT(gateway.received.size(), 4 * 396, 20000);
    const QByteArray loggedIn = "STATUS=Logged in to " + gatewayAt + ", ";
    QTRY_VERIFY_WITH_TIMEOUT(manager.messages().contains(loggedIn + "0 files queued, counter 00000007"), 20000);
    // The queue was told on its way down.
    int mostQueued = 0;
    for (const QByteArray& m : manager.messages()) {
        if (m.startsWith(loggedIn))
            mostQueued = std::max(mostQueued, m.mid(loggedIn.size()).split(' ').first().toInt());
    }
    QVERIFY2(mostQueued >= 2, manager.messages().join('|').constData());

    // Reload: RELOADING with the time, then READY once the file is read.
    const qsizetype before = manager.messages().size();
    const qint64 earliest = monotonicUsec();
    ::kill(pid_t(pid), SIGHUP);
    QTRY_VERIFY_WITH_TIMEOUT(smsd.lines().contains("Settings read again"), 20000);
    QTRY_COMPARE_WITH_TIMEOUT(manager.count("READY=1"), 2, 20000);
    const qint64 latest = monotonicUsec();
    const QByteArrayList afterHup = manager.messages().mid(before);
    const auto reloading = std::find_if(
        afterHup.cbegin(), afterHup.cend(), [](const QByteArray& m) { return m.startsWith("RELOADING=1\n"); });
    QVERIFY2(reloading != afterHup.cend(), afterHup.join('|').constData());
    QVERIFY(reloading < std::find(afterHup.cbegin(), afterHup.cend(), QByteArray("READY=1")));
    const QByteArray stamp = reloading->mid(reloading->indexOf('\n') + 1);
    QVERIFY2(stamp.startsWith("MONOTONIC_USEC="), reloading->constData());
    const qint64 usec = stamp.mid(15).toLongLong();
    QVERIFY(usec >= earliest && usec <= latest);

    // Pings at half the watchdog's time, so that a late one is not yet a
    // missed one. The median gap, against a late wake-up on a busy machine;
    // at the full time it would be ~WatchdogUsec (a coarse timer: +-5 %).
    QTRY_VERIFY_WITH_TIMEOUT(manager.count("WATCHDOG=1") >= 6, 20000);
    QList<qint64> gaps = manager.gapsUsec("WATCHDOG=1");
    std::sort(gaps.begin(), gaps.end());
    QVERIFY2(
        gaps.at(gaps.size() / 2) <= WatchdogUsec * 3 / 4, QByteArray::number(gaps.at(gaps.size() / 2)).constData());

    smsd.process.terminate();
    QCOMPARE(smsd.waitForExit(), 0);
    QCOMPARE(manager.count("STOPPING=1"), 1);
    QCOMPARE(manager.count("READY=1"), 2);
}

void TestSmsd::journalPriorities_data()
{
    QTest::addColumn<bool>("outIsJournal");
    QTest::addColumn<bool>("errIsJournal");
    QTest::newRow("standard output is the journal") << true << false;
    // As systemd sets it up: both streams on one journal connection.
    QTest::newRow("both streams are the journal") << true << true;
    QTest::newRow("the journal is another stream") << false << false;
}

void TestSmsd::journalPriorities()
{
    QFETCH(bool, outIsJournal);
    QFETCH(bool, errIsJournal);
    FakeGateway gateway;
    QVERIFY(gateway.listen());
    writeSettings(gateway.port());
    const QString outPath = workdir + QStringLiteral("/stdout");
    const QString errPath = errIsJournal ? outPath : workdir + QStringLiteral("/stderr");
    const QString otherPath = workdir + QStringLiteral("/other");
    for (const QString& path : { outPath, errPath, otherPath })
        writeFile(QFile::encodeName(path), {});
    ServiceProcess smsd;
    smsd.process.setStandardOutputFile(outPath, QIODevice::Append);
    smsd.process.setStandardErrorFile(errPath, QIODevice::Append);
    smsd.process.setProcessEnvironment(environmentWith({ { QStringLiteral("JOURNAL_STREAM"),
        QString::fromLatin1(deviceAndInode(outIsJournal ? outPath : otherPath)) } }));
    smsd.start(serviceArguments());
    QTRY_COMPARE_WITH_TIMEOUT(gateway.received.size(), 396, 20000);
    gateway.send(FakeGateway::reply('0', "00000007"));
    // An error: a short settings file at reload.
    writeFile(QFile::encodeName(workdir) + "/SMS_Key_Client.inf", "only\r\ntwo\r\n");
    ::kill(pid_t(smsd.process.processId()), SIGHUP);
    QTRY_VERIFY_WITH_TIMEOUT(readRaw(errPath).contains("List index out of bounds (2)"), 20000);
    // Warnings: the stop names the message the gateway never answered.
    writeFile(outDir + "a.sms", "+391111\r\nAlice\r\nnever answered\r\n");
    QTRY_COMPARE_WITH_TIMEOUT(gateway.received.size(), 2 * 396, 20000);
    smsd.process.terminate();
    QTRY_COMPARE_WITH_TIMEOUT(smsd.process.state(), QProcess::NotRunning, 20000);
    QCOMPARE(smsd.process.exitCode(), 0);
    const QStringList sent = QDir(QFile::decodeName(bakDir)).entryList(QDir::Files);
    QCOMPARE(sent.size(), 1);

    const QByteArrayList out = readRaw(outPath).split('\n');
    const QByteArrayList err = readRaw(errPath).split('\n');
    const QByteArray info = outIsJournal ? "<6>" : "";
    const QByteArray warning = outIsJournal ? "<4>" : "";
    QVERIFY(out.contains(info + "Connected"));
    QVERIFY(out.contains(info + "Counter: 00000007"));
    QVERIFY(out.contains(warning + "Socket Disconnect"));
    QVERIFY(out.contains(warning + "No reply for " + bakDir + QFile::encodeName(sent.first())));
    QVERIFY(err.contains((errIsJournal ? "<3>" : "")
        + QByteArray("Error: SMS_Key_Client.inf: List index out of bounds "
                     "(2); the settings in use are kept")));
    // Every line of a stream has its priority, or none has.
    for (const auto& [lines, prefixed] : { std::pair(out, outIsJournal), std::pair(err, errIsJournal) }) {
        for (const QByteArray& line : lines) {
            if (!line.isEmpty())
                QVERIFY2((line.size() > 3 && line[0] == '<' && line[2] == '>') == prefixed, line.constData());
        }
    }
}

void TestSmsd::leaseOnAnotherUsersFile_data()
{
    QTest::addColumn<bool>("withCapability");
    QTest::newRow("with CAP_LEASE") << true;
    QTest::newRow("without CAP_LEASE") << false;
}

void TestSmsd::leaseOnAnotherUsersFile()
{
    QFETCH(bool, withCapability);
    if (::geteuid() != 0)
        QSKIP("needs root, to run the service and a writer as two other users");
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    if (setpriv.isEmpty())
        QSKIP("setpriv (util-linux) is missing");
    // Leases at all here? Probed as the file's owner.
    writeFile(outDir + "probe", {});
    const int probe = ::open((outDir + "probe").constData(), O_RDONLY);
    const bool leases = ::fcntl(probe, F_SETLEASE, F_RDLCK) == 0;
    ::close(probe);
    QVERIFY(QFile::remove(QFile::decodeName(outDir + "probe")));
    if (!leases)
        QSKIP("no file leases on this file system");

    // The service's user and the producer's share the outbox's group, as
    // the README sets it up (2770).
    const QString serviceUser = QStringLiteral("4711");
    const QString producer = QStringLiteral("4712");
    const QString group = QStringLiteral("4713");
    QVERIFY(::chmod(QFile::encodeName(QFileInfo(workdir).absolutePath()).constData(), 0755) == 0);
    QVERIFY(::chmod(QFile::encodeName(workdir).constData(), 0755) == 0);
    FakeGateway gateway;
    QVERIFY(gateway.listen());
    writeSettings(gateway.port());
    for (const QByteArray& path :
        { QFile::encodeName(workdir), bakDir, QFile::encodeName(workdir) + "/SMS_Key_Client.inf" })
        QVERIFY(::chown(path.constData(), 4711, 4711) == 0);
    QVERIFY(::chown(outDir.constData(), 0, 4713) == 0);
    QVERIFY(::chmod(outDir.constData(), 02770) == 0);

    const QStringList asUser { QStringLiteral("--regid=") + serviceUser, QStringLiteral("--reuid=") + serviceUser,
        QStringLiteral("--groups=") + group };
    const QStringList capability { QStringLiteral("--inh-caps=+lease"), QStringLiteral("--ambient-caps=+lease") };
    ServiceProcess smsd;
    smsd.start(serviceArguments(),
        QStringList { setpriv } + asUser + (withCapability ? capability : QStringList())
            + QStringList { QStringLiteral("--") });
    QTRY_COMPARE_WITH_TIMEOUT(gateway.received.size(), 396, 20000);
    gateway.send(FakeGateway::reply('0', "00000007"));

    // Writes half the message straight under its name, pauses, finishes;
    // then a second file the safe way.
    QProcess writer;
    writer.start(setpriv,
        { QStringLiteral("--regid=") + producer, QStringLiteral("--reuid=") + producer,
            QStringLiteral("--groups=") + group, QStringLiteral("--"), QStringLiteral("/bin/sh"), QStringLiteral("-c"),
            QStringLiteral("umask 007; exec 3> \"$1/a.sms\"; printf '+391111\\r\\nAlice\\r\\nfirst half ' >&3; "
                           "sleep 3; printf 'second half\\r\\n' >&3; exec 3>&-; "
                           "printf '+392222\\r\\nBob\\r\\nsafe\\r\\n' > \"$1/b.tmp\" && mv \"$1/b.tmp\" \"$1/b.sms\""),
            QStringLiteral("writer"), QFile::decodeName(outDir) });
    QTRY_COMPARE_WITH_TIMEOUT(gateway.received.size(), 3 * 396, 30000);
    QTRY_COMPARE(writer.state(), QProcess::NotRunning);
    QCOMPARE(writer.exitCode(), 0);
    smsd.process.terminate();
    QCOMPARE(smsd.waitForExit(), 0);

    QByteArrayList refusals;
    for (const QByteArray& line : smsd.lines()) {
        if (line.startsWith("No read lease on "))
            refusals.append(line);
    }
    if (withCapability) {
        // Held back until the writer was done.
        QVERIFY(gateway.received.contains("first half second half"));
        QVERIFY2(refusals.isEmpty(), refusals.join('|').constData());
    } else {
        // Once a run, naming the first such file; the age check still works.
        QCOMPARE(refusals,
            QByteArrayList { "No read lease on " + outDir
                + "a.sms: the program needs CAP_LEASE to hold back files of other users that are still being "
                  "written" });
    }
    QVERIFY(gateway.received.contains("safe"));
}

void TestSmsd::silentGatewayLeftBehind_data()
{
    QTest::addColumn<QString>("mute");
    QTest::addColumn<int>("files");
    QTest::newRow("after the log-in") << QStringLiteral("--mute-after 1 --mute-connections 1") << 20;
    QTest::newRow("the log-in") << QStringLiteral("--mute-after 0 --mute-connections 1") << 5;
}

void TestSmsd::silentGatewayLeftBehind()
{
    QFETCH(QString, mute);
    QFETCH(int, files);
    const QString log = workdir + QStringLiteral("/records.log");
    GatewayProcess gateway;
    QVERIFY(gateway.start(QStringList { QStringLiteral("--log"), log } + mute.split(u' ')));
    writeSettings(QByteArray::number(gateway.port));
    for (int i = 0; i < files; ++i)
        writeFile(outDir + QByteArray::number(100 + i) + ".sms",
            "+391111\r\nAlice\r\ntext " + QByteArray::number(i) + "\r\n");

    ServiceProcess smsd;
    smsd.start(serviceArguments({ QStringLiteral("--answer-timeout"), QStringLiteral("5") }));
    // Every file either answered or named.
    QTRY_VERIFY_WITH_TIMEOUT(
        smsd.count("Transaction Success...") + smsd.linesStartingWith("No reply for ").size() == files, 60000);
    smsd.process.terminate();
    QCOMPARE(smsd.waitForExit(), 0);

    const QByteArrayList lines = smsd.lines();
    QCOMPARE(smsd.count("No answer from the gateway in 5 s"), 1);
    const qsizetype silence = lines.indexOf("No answer from the gateway in 5 s");
    QCOMPARE(lines.value(silence + 1), QByteArray("Socket Disconnect"));
    QVERIFY(lines.indexOf("Reconnecting in 1 s") > silence);
    // What went into the silence is named, never sent again; the rest went
    // to the second connection, each file once.
    const int unanswered = int(smsd.linesStartingWith("No reply for ").size());
    QVERIFY2(unanswered <= EngineOptions::DefaultMaxUnanswered, qPrintable(QString::number(unanswered)));
    QCOMPARE(backups(), files);
    QByteArrayList texts;
    int onFirst = 0;
    for (const QByteArrayList& r : recordLogLines(log)) {
        if (r.value(1) != "N")
            continue;
        texts.append(r.value(7));
        onFirst += r.value(0) == "1";
    }
    QCOMPARE(onFirst, unanswered);
    QCOMPARE(texts.size(), files);
    for (int i = 0; i < files; ++i)
        QCOMPARE(texts.count("text " + QByteArray::number(i)), 1);
}

void TestSmsd::backOffDoublesAndResets()
{
    // A port with nobody on it, for now.
    quint16 port = 0;
    {
        FakeGateway probe;
        QVERIFY(probe.listen());
        port = quint16(probe.port().toUInt());
    }
    writeSettings(QByteArray::number(port));
    ServiceProcess smsd;
    smsd.start(serviceArguments());
    QTRY_VERIFY_WITH_TIMEOUT(smsd.lines().contains("Reconnecting in 4 s"), 60000);
    const QByteArrayList waits = smsd.linesStartingWith("Reconnecting in ");
    QCOMPARE(waits, (QByteArrayList { "Reconnecting in 1 s", "Reconnecting in 2 s", "Reconnecting in 4 s" }));

    // A log-in starts the waits again from the shortest.
    GatewayProcess gateway;
    QVERIFY(gateway.start({ QStringLiteral("--port"), QString::number(port) }));
    QTRY_COMPARE_WITH_TIMEOUT(smsd.count("Connection Success..."), 1, 60000);
    gateway.process.kill();
    QTRY_COMPARE_WITH_TIMEOUT(smsd.linesStartingWith("Reconnecting in ").size(), 4, 60000);
    QCOMPARE(smsd.linesStartingWith("Reconnecting in ").last(), QByteArray("Reconnecting in 1 s"));
}

void TestSmsd::drainEndsWithNothingUnnamed()
{
    // A slow gateway: records wait for replies when the drain comes.
    const QString log = workdir + QStringLiteral("/records.log");
    GatewayProcess gateway;
    QVERIFY(
        gateway.start(QStringList { QStringLiteral("--log"), log, QStringLiteral("--delay"), QStringLiteral("400") }));
    writeSettings(QByteArray::number(gateway.port));
    const int files = 30;
    for (int i = 0; i < files; ++i)
        writeFile(outDir + QByteArray::number(100 + i) + ".sms", "+391111\r\nAlice\r\ntext\r\n");
    ServiceProcess smsd;
    smsd.start(serviceArguments({ QStringLiteral("--poll"), QStringLiteral("200") }));
    QTRY_VERIFY_WITH_TIMEOUT(backups() >= 8, 60000);
    QVERIFY(Fs::writeFile(QFile::encodeName(workdir) + "/SmsSender.control/drain", QByteArray()));
    // Ends by itself, with 0, so that systemd does not start it again.
    QCOMPARE(smsd.waitForExit(), 0);
    QVERIFY(smsd.lines().contains("Drained"));
    // Every message settled or still in the outbox: none sent and unnamed.
    const int sent = backups();
    QCOMPARE(sent + int(QDir(QFile::decodeName(outDir)).entryList(QDir::Files).size()), files);
    QCOMPARE(smsd.count("Transaction Success...") + int(smsd.linesStartingWith("No reply for ").size()), sent);
    QCOMPARE(readRaw(workdir + QStringLiteral("/SmsSender.results")).count('\n'), sent);
    QVERIFY(!QFileInfo::exists(workdir + QStringLiteral("/SmsSender.control/drain")));
}

void TestSmsd::pauseBySignalOutlivesARestart()
{
    FakeGateway gateway;
    QVERIFY(gateway.listen());
    writeSettings(gateway.port());
    ServiceProcess smsd;
    smsd.start(serviceArguments());
    QTRY_COMPARE_WITH_TIMEOUT(gateway.received.size(), 396, 20000);
    gateway.send(FakeGateway::reply('0', "00000007"));
    QTRY_VERIFY_WITH_TIMEOUT(smsd.lines().contains("Counter: 00000007"), 20000);
    ::kill(pid_t(smsd.process.processId()), SIGUSR1);
    QTRY_VERIFY_WITH_TIMEOUT(smsd.lines().contains("Paused"), 20000);
    writeFile(outDir + "a.sms", "+391111\r\nAlice\r\nheld\r\n");
    smsd.process.terminate();
    QCOMPARE(smsd.waitForExit(), 0);
    QCOMPARE(backups(), 0);

    // The next run starts paused, and SIGUSR2 lets the file go.
    FakeGateway next;
    QVERIFY(next.listen());
    writeSettings(next.port());
    ServiceProcess again;
    again.start(serviceArguments());
    QTRY_COMPARE_WITH_TIMEOUT(next.received.size(), 396, 20000);
    next.send(FakeGateway::reply('0', "00000007"));
    QTRY_VERIFY_WITH_TIMEOUT(again.lines().contains("Paused"), 20000);
    QTRY_VERIFY_WITH_TIMEOUT(again.lines().contains("Counter: 00000007"), 20000);
    QCOMPARE(backups(), 0);
    ::kill(pid_t(again.process.processId()), SIGUSR2);
    QTRY_COMPARE_WITH_TIMEOUT(next.received.size(), 2 * 396, 20000);
    QVERIFY(again.lines().contains("Resumed"));
    again.process.terminate();
    QCOMPARE(again.waitForExit(), 0);
}

QTEST_GUILESS_MAIN(TestSmsd)
#include "tst_smsd.moc"
