#include "gatewayprocess.h"
#include "record.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

using namespace GatewayRecord;

namespace {
const QByteArray Key = "ABCDEFGHIJKLMNOP";
const Credentials Ann { "ann", "secret", Key };

QByteArray login(const Credentials& c = Ann, int size = Size)
{
    return buildLoginRecord(c, size);
}

QByteArray message(char command, const QByteArray& text = "hello", const Credentials& c = Ann)
{
    return buildMessageRecord({ "+3912345", "Shop", text }, command, c);
}

QByteArray replyAt(const QByteArray& received, int index)
{
    return received.mid(qsizetype(index) * Size, Size);
}
} // namespace

class TestGatewayProgram : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void loginReplyLayout();
    void counterCountsDown();
    void resultOption();
    void credentialRejection();
    void shortTestRequest();
    void splitRequestAnsweredOnce();
    void splitAndDelayedReplies();
    void closeAndResetAfter();
    void recordLog();
    void garbageAndUnsolicited();
    void survivesManyConnectionsAndGarbage();
    void refusesBadOptions();
};

void TestGatewayProgram::initTestCase()
{
    QVERIFY2(QFile::exists(GatewayProcess::binary()), "SMS_GATEWAY_BIN must name the gateway program");
}

void TestGatewayProgram::loginReplyLayout()
{
    GatewayProcess gateway;
    QVERIFY(gateway.start("--counter 5 --info Hello\\nWorld\\q"));
    GatewayClient client;
    QVERIFY(client.connectTo(gateway.port));
    client.send(login());
    QTRY_COMPARE(client.received.size(), Size);
    QTest::qWait(150);
    QCOMPARE(client.received.size(), Size); // one reply, nothing after it

    const QByteArray r = client.received;
    QCOMPARE(r.left(CommandAt), QByteArray(CommandAt, '\0')); // credentials not echoed
    QCOMPARE(r.at(CommandAt), 'P');
    QCOMPARE(r.mid(37, CounterAt - 37), QByteArray(CounterAt - 37, '\0'));
    QCOMPARE(r.mid(CounterAt, 8), QByteArray("00000005"));
    QCOMPARE(r.at(ResultAt), '0');
    // \n is an escape; an unknown escape stays as typed.
    const QByteArray info = "Hello\nWorld\\q";
    QCOMPARE(r.mid(InfoAt, info.size()), info);
    QCOMPARE(r.mid(InfoAt + info.size()), QByteArray(InfoWidth - info.size(), '\0'));

    const Reply read = readReply(r);
    QVERIFY(read.success());
    QCOMPARE(read.counter, QByteArray("00000005"));
    QCOMPARE(read.info, info);
}

void TestGatewayProgram::counterCountsDown()
{
    GatewayProcess gateway;
    QVERIFY(gateway.start("--counter 3"));
    GatewayClient client;
    QVERIFY(client.connectTo(gateway.port));
    // Five records in one write: each answered in turn; the log-in takes
    // nothing off, and the counter stops at zero.
    client.send(login() + message('N') + message('L') + message('M') + message('F'));
    QTRY_COMPARE(client.received.size(), 5 * Size);
    const QByteArrayList expected { "00000003", "00000002", "00000001", "00000000", "00000000" };
    const QByteArray commands = "PNLMF";
    for (int i = 0; i < 5; ++i) {
        const QByteArray r = replyAt(client.received, i);
        QCOMPARE(r.at(CommandAt), commands.at(i));
        QCOMPARE(r.mid(CounterAt, 8), expected.at(i));
        QCOMPARE(r.at(ResultAt), '0');
    }
    QCOMPARE(replyAt(client.received, 1).mid(DestinationAt, 9), QByteArray("+3912345\0", 9));
    QCOMPARE(replyAt(client.received, 1).mid(TextAt, 6), QByteArray("hello\0", 6));

    // The counter belongs to the gateway, not to the connection.
    GatewayClient second;
    QVERIFY(second.connectTo(gateway.port));
    second.send(login());
    QTRY_COMPARE(second.received.size(), Size);
    QCOMPARE(second.received.mid(CounterAt, 8), QByteArray("00000000"));
}

void TestGatewayProgram::resultOption()
{
    GatewayProcess gateway;
    QVERIFY(gateway.start("--result 9 --counter 4"));
    GatewayClient client;
    QVERIFY(client.connectTo(gateway.port));
    client.send(login() + message('N'));
    QTRY_COMPARE(client.received.size(), 2 * Size);
    QCOMPARE(readReply(replyAt(client.received, 0)).resultCode, '9');
    const Reply r = readReply(replyAt(client.received, 1));
    QCOMPARE(r.resultCode, '9');
    QCOMPARE(r.counter, QByteArray("00000004")); // a failed message uses no credit
}

void TestGatewayProgram::credentialRejection()
{
    GatewayProcess gateway;
    QVERIFY(gateway.start(
        { QStringLiteral("--user"), QStringLiteral("ann"), QStringLiteral("--password"), QStringLiteral("secret"),
            QStringLiteral("--key"), QString::fromLatin1(Key), QStringLiteral("--counter"), QStringLiteral("10") }));
    GatewayClient client;
    QVERIFY(client.connectTo(gateway.port));
    const Credentials wrongUser { "bob", "secret", Key };
    const Credentials wrongPassword { "ann", "secreT", Key };
    const Credentials wrongKey { "ann", "secret", "ABCDEFGHIJKLMNOQ" };
    const Credentials prefix { "an", "secret", Key };
    client.send(login(wrongPassword) + login() + message('N', "x", wrongKey) + message('N', "x", wrongUser)
        + message('N', "x", prefix) + message('N'));
    QTRY_COMPARE(client.received.size(), 6 * Size);
    const QByteArray results = "101110";
    const QByteArrayList counters { "00000010", "00000010", "00000010", "00000010", "00000010", "00000009" };
    for (int i = 0; i < 6; ++i) {
        const Reply r = readReply(replyAt(client.received, i));
        QCOMPARE(r.resultCode, results.at(i));
        QCOMPARE(r.counter, counters.at(i));
    }
}

void TestGatewayProgram::shortTestRequest()
{
    GatewayProcess gateway;
    QVERIFY(gateway.start({ QStringLiteral("--counter"), QStringLiteral("42"), QStringLiteral("--user"),
        QStringLiteral("ann"), QStringLiteral("--info"), QStringLiteral("not in short") }));
    GatewayClient client;
    QVERIFY(client.connectTo(gateway.port));
    client.send(login(Ann, ShortSize));
    QTRY_COMPARE(client.received.size(), ShortSize);
    QTest::qWait(250);
    QCOMPARE(client.received.size(), ShortSize);
    const Reply r = readReply(client.received, ShortSize);
    QVERIFY(r.success());
    QCOMPARE(r.counter, QByteArray("00000042"));
    QCOMPARE(client.received.at(CommandAt), 'P');

    // The short form is checked like the full one.
    GatewayClient other;
    QVERIFY(other.connectTo(gateway.port));
    other.send(login({ "bob", "", Key }, ShortSize));
    QTRY_COMPARE(other.received.size(), ShortSize);
    QCOMPARE(other.received.at(ResultAt), '1');

    // After a short test the connection goes on taking full records.
    client.send(message('N'));
    QTRY_COMPARE(client.received.size(), ShortSize + Size);
    QCOMPARE(client.received.mid(ShortSize + CounterAt, 8), QByteArray("00000041"));
}

void TestGatewayProgram::splitRequestAnsweredOnce()
{
    // A quiet time longer than any wait here: a log-in that comes whole is
    // answered only if it does not wait for the quiet time, and one split
    // with a short pause must not pass for a test.
    GatewayProcess gateway;
    QVERIFY(gateway.start("--quiet 60000 --counter 7"));
    GatewayClient client;
    QVERIFY(client.connectTo(gateway.port));
    client.send(login());
    QTRY_COMPARE_WITH_TIMEOUT(client.received.size(), Size, 30000);

    const QByteArray second = login();
    client.send(second.left(ShortSize));
    QTest::qWait(50);
    client.send(second.mid(ShortSize));
    QTRY_COMPARE(client.received.size(), 2 * Size);

    // A message record split after byte 236 with a long pause, and one in
    // three uneven pieces: one full reply each.
    const QByteArray m = message('N');
    client.send(m.left(ShortSize));
    QTest::qWait(400);
    QCOMPARE(client.received.size(), 2 * Size);
    client.send(m.mid(ShortSize));
    QTRY_COMPARE(client.received.size(), 3 * Size);
    client.send(m.left(1));
    QTest::qWait(20);
    client.send(m.mid(1, 300));
    QTest::qWait(20);
    client.send(m.mid(301));
    QTRY_COMPARE(client.received.size(), 4 * Size);
    QTest::qWait(150);
    QCOMPARE(client.received.size(), 4 * Size);
    QCOMPARE(replyAt(client.received, 3).mid(CounterAt, 8), QByteArray("00000005"));
}

void TestGatewayProgram::splitAndDelayedReplies()
{
    GatewayProcess gateway;
    QVERIFY(gateway.start("--split 4 --split-pause 60 --counter 3 --info pieces"));
    GatewayClient client;
    QVERIFY(client.connectTo(gateway.port));
    client.send(login());
    QTRY_COMPARE(client.received.size(), Size);
    QVERIFY2(client.reads.size() >= 2, "the reply came in one piece");
    const Reply r = readReply(client.received);
    QVERIFY(r.success());
    QCOMPARE(r.counter, QByteArray("00000003"));
    QCOMPARE(r.info, QByteArray("pieces"));

    // Two requests at once: the pieces of the two replies do not mix.
    client.send(message('N') + message('F'));
    QTRY_COMPARE(client.received.size(), 3 * Size);
    QCOMPARE(replyAt(client.received, 1).at(CommandAt), 'N');
    QCOMPARE(replyAt(client.received, 1).mid(CounterAt, 8), QByteArray("00000002"));
    QCOMPARE(replyAt(client.received, 2).at(CommandAt), 'F');
    QCOMPARE(replyAt(client.received, 2).mid(CounterAt, 8), QByteArray("00000001"));

    GatewayProcess slow;
    QVERIFY(slow.start("--delay 300"));
    GatewayClient late;
    QVERIFY(late.connectTo(slow.port));
    QElapsedTimer elapsed;
    elapsed.start();
    late.send(login());
    QTRY_COMPARE(late.received.size(), Size);
    QVERIFY(elapsed.elapsed() >= 290);
}

void TestGatewayProgram::closeAndResetAfter()
{
    GatewayProcess closing;
    QVERIFY(closing.start("--close-after 2"));
    RawClient orderly;
    QVERIFY(orderly.connectTo(closing.port));
    // The third record comes after the second is answered: never answered.
    QVERIFY(orderly.send(login() + message('N') + message('N')));
    QTRY_VERIFY(orderly.drain());
    QCOMPARE(orderly.end, RawClient::Closed);
    QCOMPARE(orderly.received.size(), 2 * Size);
    QCOMPARE(orderly.received.at(Size + CommandAt), 'N');

    GatewayProcess resetting;
    QVERIFY(resetting.start("--reset-after 1 --split 3"));
    RawClient reset;
    QVERIFY(reset.connectTo(resetting.port));
    QVERIFY(reset.send(login()));
    QTRY_VERIFY(reset.drain());
    QCOMPARE(reset.end, RawClient::Reset);
    QCOMPARE(reset.received.size(), Size); // the whole reply went out before the reset

    // Other connections are not affected.
    GatewayClient client;
    QVERIFY(client.connectTo(closing.port));
    client.send(login());
    QTRY_COMPARE(client.received.size(), Size);
}

void TestGatewayProgram::recordLog()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("records.log"));
    {
        QFile earlier(path);
        QVERIFY(earlier.open(QIODevice::WriteOnly));
        earlier.write("earlier line\n");
    }
    GatewayProcess gateway;
    QVERIFY(gateway.start({ QStringLiteral("--log"), path, QStringLiteral("--password"), QStringLiteral("secret") }));
    GatewayClient first;
    QVERIFY(first.connectTo(gateway.port));
    const QByteArray awkward("tab\there\\cr\rlf\n\xe9", 16);
    first.send(login() + buildMessageRecord({ "12345678901234567", "S\tX", awkward }, 'F', { "ann", "wrong", Key }));
    QTRY_COMPARE(first.received.size(), 2 * Size);
    GatewayClient second;
    QVERIFY(second.connectTo(gateway.port));
    second.send(login({ "bob", "secret", "KEY" }, ShortSize));
    QTRY_COMPARE(second.received.size(), ShortSize);

    // Each line is written out as it happens, while the gateway runs.
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArrayList lines = file.readAll().split('\n');
    QCOMPARE(lines.size(), 5); // four lines and the empty rest after the last
    QCOMPARE(lines.at(0), QByteArray("earlier line"));
    QCOMPARE(lines.at(4), QByteArray());
    const QRegularExpression iso(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}$"));
    QByteArrayList rest;
    for (int i = 1; i <= 3; ++i) {
        const qsizetype tab = lines.at(i).indexOf('\t');
        QVERIFY(iso.match(QString::fromLatin1(lines.at(i).left(tab))).hasMatch());
        rest.append(lines.at(i).mid(tab + 1));
    }
    QCOMPARE(rest.at(0), QByteArray("1\tP\tann\tsecret\tABCDEFGHIJKLMNOP\t\t\t\t0\t396"));
    QCOMPARE(rest.at(1),
        QByteArray("1\tF\tann\twrong\tABCDEFGHIJKLMNOP\t123456789012345\tS\\tX\t"
                   "tab\\there\\\\cr\\rlf\\n\xe9\t1\t396"));
    QCOMPARE(rest.at(2), QByteArray("2\tP\tbob\tsecret\tKEY\t\t\t\t0\t236"));
}

void TestGatewayProgram::garbageAndUnsolicited()
{
    GatewayProcess gateway;
    QVERIFY(gateway.start("--garbage 50 --unsolicited 2 --counter 8"));
    GatewayClient client;
    QVERIFY(client.connectTo(gateway.port));
    client.send(login());
    QTRY_COMPARE(client.received.size(), Size + 50 + 2 * Size);
    QCOMPARE(client.received.at(CommandAt), 'P');
    for (int i = 0; i < 2; ++i) {
        const Reply r = readReply(client.received.mid(Size + 50 + i * Size));
        QVERIFY(r.success());
        QCOMPARE(r.counter, QByteArray("00000008"));
    }
    // Extras come once per connection: a later log-in gets one reply only.
    client.send(login() + message('N'));
    QTRY_COMPARE(client.received.size(), 5 * Size + 50);
    QTest::qWait(150);
    QCOMPARE(client.received.size(), 5 * Size + 50);
    QCOMPARE(client.received.mid(4 * Size + 50 + CounterAt, 8), QByteArray("00000007"));
}

void TestGatewayProgram::survivesManyConnectionsAndGarbage()
{
    GatewayProcess gateway;
    QVERIFY(gateway.start("--counter 100"));

    // Random bytes are answered as records; an unknown command gets '2'.
    GatewayClient noisy;
    QVERIFY(noisy.connectTo(gateway.port));
    QByteArray noise(1000, '\0');
    QRandomGenerator random(7);
    for (char& c : noise)
        c = char(random.bounded(256));
    noise[CommandAt] = 'x';
    noisy.send(noise);
    QTRY_COMPARE(noisy.received.size(), 2 * Size);
    QCOMPARE(noisy.received.at(ResultAt), '2');
    // The 208 bytes left over wait for the rest of their record.
    noisy.send(QByteArray(Size - (1000 - 2 * Size), '\0'));
    QTRY_COMPARE(noisy.received.size(), 3 * Size);

    // Clients that leave mid-record or mid-reply, and many at once.
    {
        GatewayClient leaving;
        QVERIFY(leaving.connectTo(gateway.port));
        leaving.send(login().left(100));
        GatewayClient rude;
        QVERIFY(rude.connectTo(gateway.port));
        rude.send(QByteArray(100 * Size, 'N'));
    }
    std::vector<std::unique_ptr<GatewayClient>> clients;
    for (int i = 0; i < 25; ++i) {
        clients.push_back(std::make_unique<GatewayClient>());
        QVERIFY(clients.back()->connectTo(gateway.port));
    }
    for (auto& c : clients)
        c->send(login() + message('N'));
    for (auto& c : clients)
        QTRY_COMPARE(c->received.size(), 2 * Size);
    QVERIFY(gateway.running());

    // Clients that reset while split replies are still going out: the
    // gateway stops writing to them without a word.
    GatewayProcess splitting;
    QVERIFY(splitting.start("--split 6 --split-pause 5"));
    for (int i = 0; i < 5; ++i) {
        RawClient raw;
        QVERIFY(raw.connectTo(splitting.port));
        QByteArray many;
        for (int j = 0; j < 20; ++j)
            many += login();
        QVERIFY(raw.send(many));
        QTRY_VERIFY((raw.drain(), !raw.received.isEmpty()));
        raw.reset();
    }
    QTest::qWait(300);
    GatewayClient after;
    QVERIFY(after.connectTo(splitting.port));
    after.send(login());
    QTRY_COMPARE(after.received.size(), Size);
    QCOMPARE(splitting.process.readAllStandardError(), QByteArray());
    QCOMPARE(gateway.process.readAllStandardError(), QByteArray());
}

void TestGatewayProgram::refusesBadOptions()
{
    const QList<QStringList> bad {
        { QStringLiteral("--result"), QStringLiteral("ab") },
        { QStringLiteral("--counter"), QStringLiteral("100000000") },
        { QStringLiteral("--info"), QString(161, QLatin1Char('i')) },
        { QStringLiteral("--split"), QStringLiteral("0") },
        { QStringLiteral("--port"), QStringLiteral("x") },
        { QStringLiteral("--address"), QStringLiteral("nowhere") },
        { QStringLiteral("--no-such-option") },
    };
    for (const QStringList& arguments : bad) {
        GatewayProcess gateway;
        QByteArray output;
        QCOMPARE(gateway.runToEnd(arguments, &output), 2);
        QVERIFY2(output.contains("smsgateway:"), output.constData());
    }

    // A port already taken is reported, not ignored.
    QTcpServer taken;
    QVERIFY(taken.listen(QHostAddress::LocalHost, 0));
    GatewayProcess busy;
    QByteArray output;
    QCOMPARE(busy.runToEnd({ QStringLiteral("--port"), QString::number(taken.serverPort()) }, &output), 1);
    QVERIFY(output.contains("cannot listen"));

    GatewayProcess help;
    QCOMPARE(help.runToEnd({ QStringLiteral("--help") }, &output), 0);
    QVERIFY(output.contains("--quiet"));
    QVERIFY(output.contains("Record log"));
}

QTEST_GUILESS_MAIN(TestGatewayProgram)
#include "tst_gateway.moc"
