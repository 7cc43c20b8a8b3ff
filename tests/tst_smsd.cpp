#include "gatewayprocess.h"
#include "inflight.h"
#include "testgateway.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace {
const QByteArray Key = "ABCDEFGHIJKLMNOP";
const QByteArray NoFile = "<no file>";
} // namespace

class TestSmsd : public QObject
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
    void silentGatewayLeftBehind_data();
    void silentGatewayLeftBehind();
    void backOffDoublesAndResets();

private:
    void writeSettings(const QByteArray& port);
    void writeFile(const QByteArray& path, const QByteArray& content);
    QStringList run(const QStringList& extra = {}) const;
    int backups() const { return int(QDir(QFile::decodeName(bakDir)).entryList(QDir::Files).size()); }

    QTemporaryDir tmp;
    QString workdir;
    QByteArray outDir;
    QByteArray bakDir;
};

void TestSmsd::init()
{
    QVERIFY(tmp.isValid());
    static int runs = 0;
    workdir = tmp.filePath(QString::number(++runs));
    outDir = QFile::encodeName(workdir) + "/out/";
    bakDir = QFile::encodeName(workdir) + "/bak/";
    QVERIFY(QDir().mkpath(QFile::decodeName(outDir)));
    QVERIFY(QDir().mkpath(QFile::decodeName(bakDir)));
}

void TestSmsd::writeFile(const QByteArray& path, const QByteArray& content)
{
    QFile f(QFile::decodeName(path));
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(content), content.size());
}

void TestSmsd::writeSettings(const QByteArray& port)
{
    writeFile(QFile::encodeName(workdir) + "/SMS_Key_Client.inf",
        outDir + "\r\n" + bakDir + "\r\n127.0.0.1\r\n" + port + "\r\nuser\r\nsecret\r\n" + Key + "\r\n");
}

QStringList TestSmsd::run(const QStringList& extra) const
{
    return QStringList { QStringLiteral("--workdir"), workdir, QStringLiteral("--poll"), QStringLiteral("200") }
    + extra;
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
    smsd.start(run());
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
    smsd.start(run({ QStringLiteral("--log-every"), QStringLiteral("3"), QStringLiteral("--on-result"),
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
    smsd.start(run());
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
    killed.start(run());
    QTRY_COMPARE_WITH_TIMEOUT(gateway.received.size(), 396, 20000);
    gateway.send(FakeGateway::reply('0', "00000003"));
    writeFile(outDir + "a.sms", "+391111\r\nAlice\r\nsent, then killed\r\n");
    QTRY_COMPARE_WITH_TIMEOUT(gateway.received.size(), 2 * 396, 20000);

    ServiceProcess second;
    second.start(run());
    QCOMPARE(second.waitForExit(), 1);
    QVERIFY2(second.errors().contains("The program is already running in this folder."), second.err.constData());

    // Killed without a word: the next start here names the message.
    killed.process.kill();
    QTRY_COMPARE(killed.process.state(), QProcess::NotRunning);
    const QStringList sent = QDir(QFile::decodeName(bakDir)).entryList(QDir::Files);
    QCOMPARE(sent.size(), 1);
    ServiceProcess next;
    next.start(run());
    const QByteArray named = "No reply for " + bakDir + QFile::encodeName(sent.first());
    QTRY_VERIFY_WITH_TIMEOUT(next.lines().contains(named), 20000);
    QCOMPARE(next.count(named), 1);
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
    smsd.start(run({ QStringLiteral("--answer-timeout"), QStringLiteral("5") }));
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
    QVERIFY2(unanswered <= InFlight::DefaultLimit, qPrintable(QString::number(unanswered)));
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
    smsd.start(run());
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

QTEST_GUILESS_MAIN(TestSmsd)
#include "tst_smsd.moc"
