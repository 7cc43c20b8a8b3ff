// The whole engine against the real substitute gateway behaving badly:
// refusing, closing, resetting, dribbling, stalling, babbling. Whatever it
// does, no message file is lost, none reaches the gateway twice, and every
// message that may not have reached it is named in the engine log.
#include "enginefixture.h"
#include "errorroute.h"
#include "gatewayprocess.h"
#include "record.h"
#include "recordingview.h"
#include "settings.h"
#include "textfile.h"

#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>

namespace {
const QByteArray Key = "ABCD1234EFGH5678";

// The lines that handle one reply each.
const QByteArrayList ReplyHeads
    = { "Connection Success...", "Connection Fail...", "Transaction Success...", "Transaction Fail..." };

QByteArray messageId(int i)
{
    return "msg-" + QByteArray::number(i).rightJustified(4, '0');
}
} // namespace

class TestGatewayFaults : public QObject, public EngineFixture
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void refusedConnection();
    void gatewayClosesMidRun();
    void gatewayResets();
    void replySplitIntoSingleBytes();
    void slowGatewayThenStop();
    void megabyteOfGarbage();
    void repliesNobodyAskedFor();

private:
    bool startGateway(const QByteArray& extra);
    void startEngine(quint16 port, const QByteArray& pollInterval);
    void writeMessages(int count);
    void start();
    void expectStopped();
    int replyCount() const;
    QByteArrayList namedUnanswered() const;
    QHash<QByteArray, int> gatewayMessages() const;
    QByteArray idOf(const QByteArray& path) const;
    void checkNothingLostNothingTwice();

    QString recordLog;
    int files = 0;
    std::unique_ptr<GatewayProcess> gateway;
};

void TestGatewayFaults::init()
{
    QVERIFY2(!GatewayProcess::binary().isEmpty(), "SMS_GATEWAY_BIN is not set");
    QVERIFY(setUp());
    recordLog = tmp->filePath(QStringLiteral("records.log"));
    files = 0;
    gateway = std::make_unique<GatewayProcess>();
}

void TestGatewayFaults::cleanup()
{
    // What the engine and the gateway saw, to tell a fault from a race.
    if (QTest::currentTestFailed()) {
        for (const QByteArray& line : view.appended.mid(0, 200))
            qInfo("engine: %s", line.constData());
        QFile log(recordLog);
        if (log.open(QIODevice::ReadOnly))
            qInfo("gateway:\n%s", log.readAll().constData());
    }
    engine.reset();
    gateway.reset();
    tearDown();
}

bool TestGatewayFaults::startGateway(const QByteArray& extra)
{
    return gateway->start(QStringList { QStringLiteral("--log"), recordLog }
        + QString::fromLatin1("--port 0 --counter 1000 " + extra).split(u' ', Qt::SkipEmptyParts));
}

void TestGatewayFaults::startEngine(quint16 port, const QByteArray& pollInterval)
{
    options.pollInterval = OptionNumber::fromText(pollInterval);
    configure();
    options.logFoundFiles = false;
    configure();
    EngineFixture::startEngine(QByteArray::number(port), Key, Clock::system());
}

void TestGatewayFaults::writeMessages(int count)
{
    for (int i = 0; i < count; ++i, ++files) {
        const QByteArray id = messageId(files);
        TextFile::writeLines(outDir + id + ".sms", { "3330000" + QByteArray::number(files), "Faults", id });
    }
}

void TestGatewayFaults::start()
{
    runGuarded(view, [this] { engine->link().start(); });
    QVERIFY(view.errors.isEmpty());
}

void TestGatewayFaults::expectStopped()
{
    QVERIFY(!engine->link().isConnected());
    QVERIFY(!engine->tick().polling());
    QVERIFY(view.startEnabled);
    QVERIFY(!view.stopEnabled);
    QVERIFY(!view.green);
}

int TestGatewayFaults::replyCount() const
{
    return int(std::count_if(view.appended.cbegin(), view.appended.cend(),
        [](const QByteArray& line) { return ReplyHeads.contains(line); }));
}

QByteArrayList TestGatewayFaults::namedUnanswered() const
{
    QByteArrayList paths;
    for (const QByteArray& line : view.appended) {
        if (line.startsWith("No reply for "))
            paths.append(line.mid(13));
    }
    return paths;
}

// Message requests in the gateway's record log, counted by their text.
QHash<QByteArray, int> TestGatewayFaults::gatewayMessages() const
{
    QHash<QByteArray, int> count;
    QFile file(recordLog);
    if (!file.open(QIODevice::ReadOnly))
        return count;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QByteArrayList fields = line.split('\t');
        if (fields.size() == 11 && fields[2] != "P")
            ++count[fields[8]];
    }
    return count;
}

QByteArray TestGatewayFaults::idOf(const QByteArray& path) const
{
    return TextFile::readLines(path).value(2);
}

void TestGatewayFaults::checkNothingLostNothingTwice()
{
    const QHash<QByteArray, int> sent = gatewayMessages();
    const QByteArrayList named = namedUnanswered();
    QByteArrayList seen;
    for (const QString& name : QDir(QFile::decodeName(outDir)).entryList(QDir::Files)) {
        const QByteArray id = idOf(outDir + QFile::encodeName(name));
        QVERIFY2(!sent.contains(id), id.constData()); // still waiting, so never sent
        seen.append(id);
    }
    for (const QString& name : QDir(QFile::decodeName(bakDir)).entryList(QDir::Files)) {
        const QByteArray path = bakDir + QFile::encodeName(name);
        const QByteArray id = idOf(path);
        QVERIFY2(sent.value(id) == 1 || named.contains(path), path.constData());
        seen.append(id);
    }
    // Every file is in one place or the other, and only once.
    std::sort(seen.begin(), seen.end());
    QByteArrayList all;
    for (int i = 0; i < files; ++i)
        all.append(messageId(i));
    QCOMPARE(seen, all);
    // The gateway saw no message twice.
    for (auto it = sent.cbegin(); it != sent.cend(); ++it)
        QVERIFY2(it.value() == 1, it.key().constData());
    // A message named as unanswered is one that left the outbox.
    for (const QByteArray& path : named)
        QVERIFY2(QFile::exists(QFile::decodeName(path)), path.constData());
}

void TestGatewayFaults::refusedConnection()
{
    // A port nobody listens on: take one, then let it go.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 port = probe.serverPort();
    probe.close();
    writeMessages(3);
    startEngine(port, "200");
    start();
    QTRY_COMPARE(view.appended, QByteArrayList { "Socket Error" });
    QTest::qWait(100);
    QCOMPARE(view.appended, QByteArrayList { "Socket Error" });
    expectStopped();
    QCOMPARE(QDir(QFile::decodeName(bakDir)).entryList(QDir::Files).size(), 0);
    checkNothingLostNothingTwice();
}

void TestGatewayFaults::gatewayClosesMidRun()
{
    // Each connection answers the log-in and three messages, then closes; the
    // operator starts again until the outbox is empty.
    QVERIFY(startGateway("--close-after 4"));
    writeMessages(12);
    startEngine(gateway->port, "200");
    auto outboxEmpty = [this] { return QDir(QFile::decodeName(outDir)).entryList(QDir::Files).isEmpty(); };
    int connections = 0;
    while (!outboxEmpty() && connections < 20) {
        const qsizetype disconnects = view.appended.count("Socket Disconnect");
        start();
        ++connections;
        // The last connection may empty the outbox before the gateway's
        // close comes: it then waits with nothing in flight.
        QTRY_VERIFY(view.appended.count("Socket Disconnect") == disconnects + 1
            || (outboxEmpty() && engine->link().isConnected() && engine->link().unansweredCount() == 0));
        if (!engine->link().isConnected())
            expectStopped();
    }
    QVERIFY(outboxEmpty());
    QVERIFY(connections >= 2);
    QCOMPARE(view.appended.count("Connected"), connections);
    QCOMPARE(view.appended.count("Connection Success..."), connections);
    QVERIFY(!view.appended.contains("Socket Error"));
    // Every message went to the gateway once or is named as unanswered.
    const QHash<QByteArray, int> sent = gatewayMessages();
    QCOMPARE(int(sent.size() + namedUnanswered().size()), files);
    // Three messages a connection at most reach the gateway.
    QVERIFY(sent.size() <= 3 * connections);
    checkNothingLostNothingTwice();
}

void TestGatewayFaults::gatewayResets()
{
    // The gateway resets right after answering the log-in. With no tick due,
    // the link is idle when the reset arrives.
    QVERIFY(startGateway("--reset-after 1"));
    writeMessages(2);
    startEngine(gateway->port, "600000");
    start();
    QTRY_VERIFY(view.startEnabled && view.appended.contains("Socket Disconnect"));
    // Linux reports the reset as a plain close: no error event comes, only
    // the disconnected one.
    QCOMPARE(view.appended,
        (QByteArrayList {
            "Connected", "Connection Success...", "Messages To Send = : 00001000", "Socket Disconnect" }));
    expectStopped();

    // Reset while messages are in flight: each reply comes half a second
    // after its request, so several ticks' messages wait when the reset
    // follows the second message's reply. Some are answered, the others are
    // named, none is lost.
    gateway = std::make_unique<GatewayProcess>();
    QVERIFY(startGateway("--reset-after 3 --delay 500"));
    writeMessages(8);
    view = RecordingView();
    startEngine(gateway->port, "200");
    start();
    QTRY_VERIFY(view.appended.count("Socket Disconnect") == 1);
    expectStopped();
    QCOMPARE(view.appended.count("Transaction Success..."), 2);
    QVERIFY(!namedUnanswered().isEmpty());
    checkNothingLostNothingTwice();
}

void TestGatewayFaults::replySplitIntoSingleBytes()
{
    QVERIFY(startGateway("--split 396 --split-pause 1"));
    writeMessages(3);
    startEngine(gateway->port, "200");
    start();
    // Each reply is gathered whole: one line per reply, no failure from a
    // reply cut short.
    QTRY_COMPARE_WITH_TIMEOUT(view.appended.count("Transaction Success..."), 3, 15000);
    QCOMPARE(replyCount(), 4);
    QCOMPARE(view.appended.count("Messages To Send = : 00000997"), 1);
    QCOMPARE(view.counter, QByteArray("00000997"));
    QVERIFY(engine->link().isConnected() && view.green && view.stopEnabled && !view.startEnabled);
    QCOMPARE(engine->link().unansweredCount(), 0);
    checkNothingLostNothingTwice();
    QCOMPARE(gatewayMessages().size(), 3);
}

void TestGatewayFaults::slowGatewayThenStop()
{
    // Every reply, the log-in's included, comes ten seconds after its request.
    QVERIFY(startGateway("--delay 10000"));
    writeMessages(3);
    startEngine(gateway->port, "200");
    start();
    QTRY_VERIFY_WITH_TIMEOUT(view.appended.contains("Connection Success..."), 13000);
    // The messages go out at once; their replies are ten seconds away. The
    // operator stops while waiting.
    QTRY_COMPARE(engine->link().unansweredCount(), 3);
    QTRY_COMPARE(gatewayMessages().size(), 3);
    runGuarded(view, [this] { engine->link().stop(); });
    QCOMPARE(view.appended.count("Socket Disconnect"), 1);
    const qsizetype at = view.appended.indexOf("Socket Disconnect");
    QCOMPARE(view.appended.mid(at + 1).size(), 3);
    QByteArrayList backups;
    for (const QString& name : QDir(QFile::decodeName(bakDir)).entryList(QDir::Files))
        backups.append(bakDir + QFile::encodeName(name));
    QByteArrayList named = namedUnanswered();
    std::sort(named.begin(), named.end());
    QCOMPARE(named, backups);
    QCOMPARE(replyCount(), 1);
    expectStopped();
    QCOMPARE(engine->link().unansweredCount(), 0);
    checkNothingLostNothingTwice();
}

void TestGatewayFaults::megabyteOfGarbage()
{
    // After the log-in reply the gateway sends 1 MB of random bytes, which
    // are not a whole number of records: every later reply is read out of
    // step. Nothing may crash, and every message still goes once.
    constexpr int Garbage = 1024 * 1024;
    QVERIFY(startGateway("--garbage " + QByteArray::number(Garbage)));
    writeMessages(5);
    startEngine(gateway->port, "200");
    start();
    const int expectedReplies = (GatewayRecord::Size * (1 + 5) + Garbage) / GatewayRecord::Size;
    QTRY_COMPARE_WITH_TIMEOUT(replyCount(), expectedReplies, 30000);
    QTRY_COMPARE(gatewayMessages().size(), 5);
    QTest::qWait(100);
    QCOMPARE(replyCount(), expectedReplies);
    QVERIFY(engine->link().isConnected());
    QVERIFY(view.errors.isEmpty());
    // The log kept itself small on the way.
    QVERIFY(view.clears > 0);
    QVERIFY(engine->log().lines().size() <= 1000);
    checkNothingLostNothingTwice();
}

void TestGatewayFaults::repliesNobodyAskedFor()
{
    QVERIFY(startGateway("--unsolicited 5"));
    writeMessages(4);
    startEngine(gateway->port, "200");
    start();
    // The extra replies read as answers to nothing; the messages still get
    // theirs.
    QTRY_COMPARE(gatewayMessages().size(), 4);
    QTRY_COMPARE(replyCount(), 1 + 5 + 4);
    QCOMPARE(view.appended.count("Transaction Success..."), 5 + 4);
    QVERIFY(engine->link().isConnected());
    QCOMPARE(engine->link().unansweredCount(), 0);
    runGuarded(view, [this] { engine->link().stop(); });
    QVERIFY(namedUnanswered().isEmpty());
    expectStopped();
    checkNothingLostNothingTwice();
}

QTEST_GUILESS_MAIN(TestGatewayFaults)
#include "tst_gateway_faults.moc"
