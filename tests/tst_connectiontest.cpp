#include "connectiontest.h"
#include "smserror.h"
#include "testgateway.h"
#include "testsupport.h"

#include <QTest>

#include <memory>

namespace {
const GatewayRecord::Credentials Tester { "tester", "pw", "WXYZ123456789ABC" };
const QByteArrayList Answered { "Connecting...", "Connected", "Connection Success...", "Messages To Send = : 00000042",
    "Disconnected" };
} // namespace

class TestConnectionTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void gatewayAnswers();
    void gatewayRefusesLogin();
    void replyInTwoWrites();
    void connectionRefused();
    void lookupFailure_data();
    void lookupFailure();
    void gatewayClosesOrResets_data();
    void gatewayClosesOrResets();
    void badPort_data();
    void badPort();
    void openTestClosedBeforeNext();

private:
    void runTest();

    FakeGateway* gw = nullptr;
    QByteArrayList lines;
    std::unique_ptr<ConnectionTest> test;
};

void TestConnectionTest::init()
{
    gw = new FakeGateway;
    QVERIFY(gw->listen());
    lines.clear();
    test = std::make_unique<ConnectionTest>([this](const QByteArray& line) { lines.append(line); });
}

void TestConnectionTest::cleanup()
{
    test.reset();
    delete gw;
    gw = nullptr;
}

void TestConnectionTest::runTest()
{
    test->run("127.0.0.1", gw->port(), Tester);
    QTRY_COMPARE(gw->received.size(), qsizetype(GatewayRecord::ShortSize));
}

void TestConnectionTest::gatewayAnswers()
{
    runTest();
    // The short log-in request with the fields' credentials.
    const QByteArray& request = gw->received;
    QCOMPARE(request.left(7), QByteArray("tester\0", 7));
    QCOMPARE(request.mid(10, 3), QByteArray("pw\0", 3));
    QCOMPARE(request.mid(20, 16), QByteArray("WXYZ123456789ABC"));
    QCOMPARE(request.at(36), 'P');
    QCOMPARE(request.mid(37), QByteArray(GatewayRecord::ShortSize - 37, '\0'));
    QCOMPARE(lines, (QByteArrayList { "Connecting...", "Connected" }));

    gw->send(FakeGateway::reply('0', "00000042", {}, GatewayRecord::ShortSize));
    QTRY_COMPARE(lines, Answered);
    QVERIFY(!test->isActive());
    QTRY_COMPARE(gw->disconnects, 1); // the test hangs up once answered
    QTest::qWait(30);
    QCOMPARE(lines.size(), Answered.size());
}

void TestConnectionTest::gatewayRefusesLogin()
{
    runTest();
    gw->send(FakeGateway::reply('X', "00000000", {}, GatewayRecord::ShortSize));
    QTRY_COMPARE(lines,
        (QByteArrayList { "Connecting...", "Connected", "Connection Fail...", "Trans result = : X", "Disconnected" }));
    QVERIFY(!test->isActive());
}

void TestConnectionTest::replyInTwoWrites()
{
    runTest();
    const QByteArray reply = FakeGateway::reply('0', "00000042", {}, GatewayRecord::ShortSize);
    gw->send(reply.left(100));
    QTest::qWait(30);
    QCOMPARE(lines.size(), 2); // nothing read into a result yet
    gw->send(reply.mid(100));
    QTRY_COMPARE(lines, Answered);
}

void TestConnectionTest::connectionRefused()
{
    const QByteArray port = gw->port();
    gw->server.close();
    test->run("127.0.0.1", port, Tester);
    QTRY_COMPARE(lines, (QByteArrayList { "Connecting...", "Error" }));
    QTest::qWait(30);
    QCOMPARE(lines.size(), 2);

    // A later test on the same object works normally.
    QVERIFY(gw->server.listen(QHostAddress::LocalHost, quint16(port.toInt())));
    lines.clear();
    runTest();
    gw->send(FakeGateway::reply('0', "00000042", {}, GatewayRecord::ShortSize));
    QTRY_COMPARE(lines, Answered);
}

void TestConnectionTest::lookupFailure_data()
{
    addUnresolvableHostRows("host");
}

void TestConnectionTest::lookupFailure()
{
    QFETCH(QByteArray, host);
    QFETCH(int, waitMs);
    test->run(host, gw->port(), Tester);
    QTRY_COMPARE_WITH_TIMEOUT(lines, (QByteArrayList { "Error", "Disconnected" }), waitMs);
    QTest::qWait(30);
    QCOMPARE(lines.size(), 2);
    QVERIFY(!test->isActive());
}

void TestConnectionTest::gatewayClosesOrResets_data()
{
    QTest::addColumn<bool>("reset");
    QTest::newRow("close") << false;
    QTest::newRow("reset") << true;
}

void TestConnectionTest::gatewayClosesOrResets()
{
    QFETCH(bool, reset);
    runTest();
    if (reset)
        gw->resetPeer();
    else
        gw->peer()->disconnectFromHost();
    // Qt on Linux reads a reset as the end of the stream: both end the same way.
    QTRY_COMPARE(lines, (QByteArrayList { "Connecting...", "Connected", "Disconnected" }));
    QTest::qWait(30);
    QCOMPARE(lines.size(), 3);
    QVERIFY(!test->isActive());
}

void TestConnectionTest::badPort_data()
{
    addBadPortRows();
}

void TestConnectionTest::badPort()
{
    QFETCH(QByteArray, port);
    QFETCH(QString, error);
    try {
        test->run("127.0.0.1", port, Tester);
        QFAIL("the test accepted the port");
    } catch (const SmsError& e) {
        QCOMPARE(e.text(), error);
    }
    QVERIFY(!test->isActive());
    QTest::qWait(30);
    QVERIFY(lines.isEmpty());
    QVERIFY(gw->peers.isEmpty());
}

void TestConnectionTest::openTestClosedBeforeNext()
{
    runTest(); // the gateway takes the request and never answers
    QVERIFY(test->isActive());
    test->run("127.0.0.1", gw->port(), Tester);
    QTRY_COMPARE(gw->peers.size(), 2);
    QTRY_COMPARE(gw->received.size(), qsizetype(GatewayRecord::ShortSize));
    QTRY_COMPARE(gw->disconnects, 1); // the first connection was closed
    QCOMPARE(lines, (QByteArrayList { "Connecting...", "Connected", "Connecting...", "Connected" }));
    gw->send(FakeGateway::reply('0', "00000042", {}, GatewayRecord::ShortSize));
    QTRY_COMPARE(lines.mid(2), Answered);
}

QTEST_GUILESS_MAIN(TestConnectionTest)
#include "tst_connectiontest.moc"
