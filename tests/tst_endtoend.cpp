#include "connectiontest.h"
#include "enginefixture.h"
#include "errorroute.h"
#include "gatewayprocess.h"
#include "record.h"
#include "recordingview.h"
#include "settings.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

namespace {
const QByteArray Key = "ABCDEFGHIJKLMNOP";

struct SentFile
{
    QByteArray name;
    QByteArray destination;
    QByteArray sender;
    QByteArray text;
    QByteArray content() const { return destination + "\r\n" + sender + "\r\n" + text + "\r\n"; }
};

int countOf(const QByteArrayList& lines, const QByteArray& line)
{
    return int(std::count(lines.cbegin(), lines.cend(), line));
}
} // namespace

class TestEndToEnd : public QObject, public EngineFixture
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup() { tearDown(); }
    void fourMessagesOverFourTicks();
    void refusedLogInThenGatewayCloses();
    void connectionTestGetsShortReply();
    void resultHookHearsEachFate();
    void silentGateway_data();
    void silentGateway();

private:
    bool startGateway(const QStringList& extra);

    QString logPath;
    GatewayProcess* gateway = nullptr;
};

void TestEndToEnd::init()
{
    QVERIFY(setUp());
    logPath = tmp->filePath(QStringLiteral("records.log"));
}

bool TestEndToEnd::startGateway(const QStringList& extra)
{
    return gateway->start(QStringList { QStringLiteral("--log"), logPath } + extra);
}

void TestEndToEnd::fourMessagesOverFourTicks()
{
    GatewayProcess process;
    gateway = &process;
    QVERIFY(startGateway({ QStringLiteral("--counter"), QStringLiteral("10"), QStringLiteral("--info"),
        QStringLiteral("Thanks\\nfor using"), QStringLiteral("--user"), QStringLiteral("user"),
        QStringLiteral("--password"), QStringLiteral("secret"), QStringLiteral("--key"), QString::fromLatin1(Key) }));

    options.pollInterval = OptionNumber::fromText("600000"); // the test drives the ticks
    FixedClock clock;
    startEngine(QByteArray::number(process.port), Key, clock);

    const QList<SentFile> files {
        { "a.sms", "+391111", "Alice", "first text" },
        { "b.sms", "+392222", "Bob", "second\ttext" },
        { "c.sms", "+393333", "Carol", QByteArray(160, 'c') },
        { "d.flh", "+394444", "FlashCo", "flash now" },
    };
    for (const SentFile& f : files)
        QVERIFY(writeMessage(f.name, f.content()));

    engine->link().start();
    QTRY_VERIFY(engine->link().loggedIn());
    QVERIFY(view.appended.contains("Connection Success..."));
    QVERIFY(view.appended.contains("Messages To Send = : 00000010"));
    QVERIFY(view.green);

    const QDir outbox(QFile::decodeName(outDir));
    const auto transactions = [this] { return countOf(view.appended, "Transaction Success..."); };
    for (int i = 0; i < 4; ++i) {
        clock.time = clock.time.addMSecs(10); // each backup name its own
        runGuarded(view, [this] { engine->tick().runOnce(); });
        QTRY_COMPARE(transactions(), i + 1);
        QCOMPARE(outbox.entryList(QDir::Files).size(), 3 - i);
    }

    // Backups in the order sent: three .sms files, then the flash file.
    const QStringList expectedNames { QStringLiteral("SmsFile_2007_3_5_9_4_7_99.sms"),
        QStringLiteral("SmsFile_2007_3_5_9_4_7_109.sms"), QStringLiteral("SmsFile_2007_3_5_9_4_7_119.sms"),
        QStringLiteral("SmsFile_2007_3_5_9_4_7_129.flh") };
    QStringList backups = QDir(QFile::decodeName(bakDir)).entryList(QDir::Files);
    std::sort(backups.begin(), backups.end());
    QStringList sortedExpected = expectedNames;
    std::sort(sortedExpected.begin(), sortedExpected.end());
    QCOMPARE(backups, sortedExpected);

    const QList<QByteArrayList> log = recordLogLines(logPath);
    QCOMPARE(log.size(), 5);
    QCOMPARE(log.at(0), (QByteArrayList { "1", "P", "user", "secret", Key, "", "", "", "0", "396" }));
    QList<SentFile> unsent = files;
    for (int i = 0; i < 4; ++i) {
        // The file in the i-th backup is the one in the i-th message record.
        QFile backup(QFile::decodeName(bakDir) + expectedNames.at(i));
        QVERIFY(backup.open(QIODevice::ReadOnly));
        const QByteArray content = backup.readAll();
        const auto sent = std::find_if(
            unsent.begin(), unsent.end(), [&content](const SentFile& f) { return f.content() == content; });
        QVERIFY2(sent != unsent.end(), "a backup file is not one of the messages, or came twice");
        const QByteArray escapedText = QByteArray(sent->text).replace('\t', "\\t");
        const QByteArray command = i < 3 ? "N" : "F";
        QCOMPARE(log.at(i + 1),
            (QByteArrayList {
                "1", command, "user", "secret", Key, sent->destination, sent->sender, escapedText, "0", "396" }));
        unsent.erase(sent);
    }
    QVERIFY(unsent.isEmpty());

    QCOMPARE(transactions(), 4);
    for (const QByteArray counter : { "00000009", "00000008", "00000007", "00000006" })
        QCOMPARE(countOf(view.appended, "Messages To Send = : " + counter), 1);
    QCOMPARE(view.counter, QByteArray("00000006"));
    QCOMPARE(view.info, QByteArray("Thanks\nfor using"));
    QVERIFY(view.errors.isEmpty());
    QCOMPARE(engine->link().unansweredCount(), 0);

    engine->link().stop();
    QCOMPARE(countOf(view.appended, "Socket Disconnect"), 1);
}

void TestEndToEnd::refusedLogInThenGatewayCloses()
{
    GatewayProcess process;
    gateway = &process;
    QVERIFY(startGateway({ QStringLiteral("--password"), QStringLiteral("other"), QStringLiteral("--close-after"),
        QStringLiteral("2"), QStringLiteral("--counter"), QStringLiteral("3") }));
    options.pollInterval = OptionNumber::fromText("600000");
    configure();
    FixedClock clock;
    startEngine(QByteArray::number(process.port), Key, clock);
    QVERIFY(writeMessage("m.ring", "+395555\r\nMusic\r\ntune\r\n"));

    engine->link().start();
    QTRY_VERIFY(view.appended.contains("Trans result = : 1"));
    QVERIFY(view.appended.contains("Connection Fail..."));
    QVERIFY(!engine->link().loggedIn());
    QVERIFY(!view.green);

    // The message still goes (its record carries the credentials again); the
    // gateway refuses it too and then closes after its second record.
    runGuarded(view, [this] { engine->tick().runOnce(); });
    QTRY_COMPARE(countOf(view.appended, "Socket Disconnect"), 1);
    QCOMPARE(countOf(view.appended, "Connection Fail..."), 2);
    QVERIFY(view.startEnabled);
    QVERIFY(!view.stopEnabled);
    QVERIFY(!engine->tick().polling());

    const QList<QByteArrayList> log = recordLogLines(logPath);
    QCOMPARE(log.size(), 2);
    QCOMPARE(log.at(1), (QByteArrayList { "1", "M", "user", "secret", Key, "+395555", "Music", "tune", "1", "396" }));
}

void TestEndToEnd::connectionTestGetsShortReply()
{
    GatewayProcess process;
    gateway = &process;
    QVERIFY(startGateway({ QStringLiteral("--counter"), QStringLiteral("42") }));
    QByteArrayList lines;
    ConnectionTest test([&lines](const QByteArray& line) { lines.append(line); });
    test.run("127.0.0.1", QByteArray::number(process.port), { "user", "secret", Key });
    QTRY_VERIFY(lines.contains("Disconnected"));
    QCOMPARE(lines,
        (QByteArrayList {
            "Connecting...", "Connected", "Connection Success...", "Messages To Send = : 00000042", "Disconnected" }));
    QTRY_COMPARE(recordLogLines(logPath).size(), 1);
    QCOMPARE(recordLogLines(logPath).at(0).last(), QByteArray("236"));
}

void TestEndToEnd::resultHookHearsEachFate()
{
    // A reply, a "No reply for" at the gateway's close, a refusal, and at the
    // next start a message the last run sent without an answer.
    GatewayProcess closing;
    GatewayProcess refusing;
    QVERIFY(closing.start("--close-after 2 --counter 10"));
    QVERIFY(refusing.start("--password other"));
    const QString record = tmp->filePath(QStringLiteral("fates"));
    const QString hook = tmp->filePath(QStringLiteral("on result.sh"));
    QVERIFY(writeScript(hook, "printf '%s|%s|%s|%s|%s\\n' \"$@\" >> '" + QFile::encodeName(record) + "'\n"));
    const QByteArray journalDir = QFile::encodeName(tmp->path()) + '/';
    settings.replace({ outDir, bakDir, "127.0.0.1", QByteArray::number(closing.port), "user", "secret", Key });
    options.pollInterval = OptionNumber::fromText("600000");
    configure();
    FixedClock clock;
    const auto tick = [&](DispatchEngine& engine) {
        clock.time = clock.time.addMSecs(10);
        runGuarded(view, [&engine] { engine.tick().runOnce(); });
    };
    // Each line without its backup path, which must name a file in the backup
    // directory with the outbox name's extension.
    const auto fates = [&] {
        QByteArrayList lines;
        for (const QByteArray& line : readRaw(record).split('\n')) {
            QByteArrayList f = line.split('|');
            if (f.size() == 5 && f[1].startsWith(bakDir + "SmsFile_") && f[1].endsWith(f[2].mid(f[2].indexOf('.'))))
                lines.append(f[0] + ' ' + f[2] + ' ' + f[3] + ' ' + f[4]);
            else if (!line.isEmpty())
                lines.append("bad line: " + line);
        }
        std::sort(lines.begin(), lines.end());
        return lines;
    };
    {
        DispatchEngine engine(settings, view, clock);
        engine.configure(options);
        view.watch(engine);
        engine.results().setCommand(hook);
        engine.start(journalDir);
        QVERIFY(writeMessage("a b.sms", "+391111\r\nAlice\r\none\r\n"));
        engine.link().start();
        QTRY_VERIFY(engine.link().loggedIn());
        tick(engine);
        QVERIFY(writeMessage("b.sms", "+392222\r\nBob\r\ntwo\r\n"));
        tick(engine); // sent before the gateway closes after the first
        QTRY_COMPARE(countOf(view.appended, "Socket Disconnect"), 1);

        settings.replace({ outDir, bakDir, "127.0.0.1", QByteArray::number(refusing.port), "user", "secret", Key });
        QVERIFY(writeMessage("c.ring", "+393333\r\nCarol\r\nthree\r\n"));
        engine.link().start();
        QTRY_VERIFY(view.appended.contains("Connection Fail..."));
        tick(engine);
        QTRY_COMPARE(countOf(view.appended, "Connection Fail..."), 2);
        QTRY_COMPARE(fates().size(), 3);
        QTRY_COMPARE(engine.results().running(), 0);
        QVERIFY(writeMessage("d.flh", "+394444\r\nDan\r\nfour\r\n"));
        tick(engine); // the program ends before the reply
        QCOMPARE(engine.results().finish(), QList<QByteArray>());
        view.unwatch();
    }
    DispatchEngine engine(settings, view, clock);
    engine.configure(options);
    view.watch(engine);
    engine.results().setCommand(hook);
    engine.start(journalDir);
    QTRY_COMPARE(fates(),
        (QByteArrayList {
            "accepted a b.sms 0 00000009", "refused c.ring 1 00000000", "unanswered b.sms  ", "unanswered d.flh  " }));
    QVERIFY(view.errors.isEmpty());
}

void TestEndToEnd::silentGateway_data()
{
    QTest::addColumn<bool>("opens");
    QTest::newRow("answers the log-in, then nothing") << true;
    QTest::newRow("connection never opens") << false;
}

void TestEndToEnd::silentGateway()
{
    QFETCH(bool, opens);
    GatewayProcess process;
    gateway = &process;
    FullBacklogListener blackHole;
    if (opens)
        QVERIFY2(startGateway({ QStringLiteral("--mute-after"), QStringLiteral("1") }), qPrintable(process.error));
    else
        QVERIFY(blackHole.open());
    options.pollInterval = OptionNumber::fromText("600000"); // the test drives the ticks
    FixedClock clock;
    startEngine(QByteArray::number(opens ? process.port : blackHole.port), Key, clock);
    options.answerTimeout = std::chrono::seconds(5);
    configure();
    for (int i = 0; i < 12; ++i)
        QVERIFY(writeMessage(QByteArray::number(i + 10) + ".sms", "+391111\r\nAlice\r\ntext\r\n"));

    engine->link().start();
    if (opens) {
        QTRY_VERIFY(engine->link().loggedIn());
        for (int i = 0; i < 12; ++i) {
            clock.time = clock.time.addMSecs(1);
            runGuarded(view, [this] { engine->tick().runOnce(); });
        }
    }
    QTRY_VERIFY_WITH_TIMEOUT(view.appended.contains("No answer from the gateway in 5 s"), 30000);
    const QByteArrayList after = view.appended.mid(view.appended.indexOf("No answer from the gateway in 5 s") + 1);
    const QStringList backups = QDir(QFile::decodeName(bakDir)).entryList(QDir::Files, QDir::Name);
    if (opens) {
        // No more than may wait left the outbox; each is named once.
        QCOMPARE(backups.size(), EngineOptions::DefaultMaxUnanswered);
        QCOMPARE(outboxFiles().size(), 12 - EngineOptions::DefaultMaxUnanswered);
        QCOMPARE(after.value(0), QByteArray("Socket Disconnect"));
        QCOMPARE(after.size(), 1 + backups.size());
        for (const QString& b : backups)
            QCOMPARE(after.count("No reply for " + bakDir + QFile::encodeName(b)), 1);
        QTRY_COMPARE(recordLogLines(logPath).size(), 1 + EngineOptions::DefaultMaxUnanswered);
    } else {
        QCOMPARE(after, QByteArrayList { "Socket Error" });
        QVERIFY(backups.isEmpty());
        QVERIFY(!view.appended.contains("Connected"));
    }
    QVERIFY(!engine->link().isConnected() && !engine->link().isPending());
    QVERIFY(!view.green && view.startEnabled && !view.stopEnabled);
}

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
