#include "dispatchengine.h"
#include "record.h"
#include "recordingview.h"
#include "settings.h"
#include "smserror.h"
#include "testgateway.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace {
const QByteArray Key = "ABCDEFGHIJKLMNOP";

Settings settingsFor(const QByteArray& port)
{
    return { "out/", "bak/", "127.0.0.1", port, "user", "secret", Key };
}
} // namespace

class TestLink : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void loginSuccess();
    void loginFailureThenSuccess_data();
    void loginFailureThenSuccess();
    void messageReplies();
    void twoRepliesInOneWrite();
    void replySplitIntoBytes();
    void gatewayCloses();
    void gatewayResets();
    void replyThenClose();
    void stopWhileRunning();
    void stopWhilePending();
    void badLineLimitStillStops();
    void connectionRefused();
    void lookupFailure_data();
    void lookupFailure();
    void badPort_data();
    void badPort();
    void secondStartWhilePending();
    void startWhileConnected();
    void badPollField();
    void unansweredNamedOnStop();
    void silenceTimedFromTheSend();
    void refusedNamed_data();
    void refusedNamed();
    void largeWritesAreQueued();

private:
    void startAndConnect();
    void logIn();

    FakeGateway* gw = nullptr;
    SettingsStore settings;
    RecordingView view;
    EngineOptions options;
    FixedClock clock;
    std::unique_ptr<DispatchEngine> engine;
    GatewayLink* link = nullptr;
    const PollingTick* tick = nullptr;
    QByteArrayList fates; // what messageSettled told, one line each
};

void TestLink::init()
{
    gw = new FakeGateway;
    QVERIFY(gw->listen());
    settings.replace(settingsFor(gw->port()));
    view.unwatch();
    view = RecordingView();
    options = EngineOptions();
    options.pollInterval = 250;
    engine = std::make_unique<DispatchEngine>(settings, view, clock);
    engine->configure(options);
    view.watch(*engine);
    link = &engine->link();
    tick = &engine->tick();
    fates.clear();
    connect(link, &GatewayLink::messageSettled, this, [this](const MessageFate& f) {
        QByteArray line = QByteArray(MessageFate::outcomeName(f.outcome)) + (' ' + f.backupPath) + ' ' + f.outboxName;
        if (f.resultCode)
            line += ' ' + QByteArray(1, f.resultCode) + ' ' + f.counter;
        fates.append(line);
    });
}

void TestLink::cleanup()
{
    view.unwatch();
    engine.reset();
    delete gw;
    gw = nullptr;
}

void TestLink::startAndConnect()
{
    link->start();
    QTRY_COMPARE(gw->received.size(), qsizetype(GatewayRecord::Size));
    QTRY_VERIFY(link->isConnected());
}

void TestLink::logIn()
{
    startAndConnect();
    gw->send(FakeGateway::reply('0', "00000005", "Welcome"));
    QTRY_VERIFY(link->loggedIn());
}

void TestLink::loginSuccess()
{
    startAndConnect();
    // The log-in record is exactly the settings' credentials with command P.
    QCOMPARE(gw->received, GatewayRecord::buildLoginRecord({ "user", "secret", Key }));
    QCOMPARE(gw->received.at(36), 'P');
    QCOMPARE(gw->received.left(5), QByteArray("user\0", 5));
    QCOMPARE(view.appended, QByteArrayList { "Connected" });
    // Nothing changes for the operator until the first reply.
    QVERIFY(!view.green);
    QVERIFY(view.startEnabled);
    QVERIFY(!view.stopEnabled);
    QVERIFY(!tick->polling());

    gw->send(FakeGateway::reply('0', "00000005", "Welcome\r\nto the gateway"));
    QTRY_VERIFY(link->loggedIn());
    QCOMPARE(view.appended, (QByteArrayList { "Connected", "Connection Success...", "Messages To Send = : 00000005" }));
    QCOMPARE(engine->log().lines().last(), QByteArray("Messages To Send = : 00000005"));
    QCOMPARE(view.counter, QByteArray("00000005"));
    QCOMPARE(view.info, QByteArray("Welcome\r\nto the gateway"));
    QVERIFY(view.green);
    QVERIFY(!view.startEnabled);
    QVERIFY(view.stopEnabled);
    QVERIFY(tick->polling());
    QCOMPARE(tick->interval(), 250);
    QVERIFY(view.errors.isEmpty());
}

void TestLink::loginFailureThenSuccess_data()
{
    QTest::addColumn<char>("result");
    QTest::addColumn<QByteArray>("resultLine");
    QTest::newRow("code 9") << '9' << QByteArray("Trans result = : 9");
    // A NUL code is left out: no NUL may reach the log or its files.
    QTest::newRow("NUL code") << '\0' << QByteArray("Trans result = : ");
}

void TestLink::loginFailureThenSuccess()
{
    QFETCH(char, result);
    QFETCH(QByteArray, resultLine);
    startAndConnect();
    gw->send(FakeGateway::reply(result, "00000000", "Bad account"));
    QTRY_COMPARE(view.appended.size(), 3);
    QCOMPARE(view.appended, (QByteArrayList { "Connected", "Connection Fail...", resultLine }));
    QVERIFY(!link->loggedIn());
    QVERIFY(!view.green);
    QCOMPARE(view.info, QByteArray("Waiting for info messages..."));
    // The tick runs anyway, at the interval last set.
    QVERIFY(tick->polling());
    QCOMPARE(tick->interval(), EngineOptions::DefaultPollMs);
    QVERIFY(!view.startEnabled);
    QVERIFY(view.stopEnabled);

    // A later success counts as the log-in.
    gw->send(FakeGateway::reply('0', "00000003", "Now in"));
    QTRY_VERIFY(link->loggedIn());
    QCOMPARE(view.appended.mid(3), (QByteArrayList { "Connection Success...", "Messages To Send = : 00000003" }));
    QVERIFY(view.green);
    QCOMPARE(tick->interval(), 250);
}

void TestLink::messageReplies()
{
    logIn();
    QCOMPARE(view.info, QByteArray("Welcome"));
    const qsizetype before = view.appended.size();

    gw->send(FakeGateway::reply('7', "00000004", "Should not show"));
    QTRY_COMPARE(view.appended.size(), before + 2);
    QCOMPARE(view.appended.mid(before), (QByteArrayList { "Transaction Fail...", "Messages To Send = : 00000004" }));
    QCOMPARE(view.counter, QByteArray("00000004"));
    QCOMPARE(view.info, QByteArray("Welcome")); // kept on failure
    QVERIFY(link->loggedIn());
    QVERIFY(view.green);

    gw->send(FakeGateway::reply('0', "00000003", "Sent"));
    QTRY_COMPARE(view.appended.size(), before + 4);
    QCOMPARE(
        view.appended.mid(before + 2), (QByteArrayList { "Transaction Success...", "Messages To Send = : 00000003" }));
    QCOMPARE(view.counter, QByteArray("00000003"));
    QCOMPARE(view.info, QByteArray("Sent"));
    QVERIFY(view.green);
    QVERIFY(tick->polling());
}

void TestLink::twoRepliesInOneWrite()
{
    startAndConnect();
    gw->send(FakeGateway::reply('0', "00000002", "First") + FakeGateway::reply('5', "00000001", "Second"));
    QTRY_COMPARE(view.appended.size(), 5);
    QCOMPARE(view.appended,
        (QByteArrayList { "Connected", "Connection Success...", "Messages To Send = : 00000002", "Transaction Fail...",
            "Messages To Send = : 00000001" }));
    QCOMPARE(view.counter, QByteArray("00000001"));
    QCOMPARE(view.info, QByteArray("First"));
}

void TestLink::replySplitIntoBytes()
{
    startAndConnect();
    const QByteArray reply = FakeGateway::reply('0', "00000005", "Split");
    for (qsizetype i = 0; i < reply.size() - 1; ++i) {
        gw->send(reply.mid(i, 1));
        if (i % 40 == 0)
            QTest::qWait(5); // let the link see the reply a piece at a time
    }
    QTest::qWait(20);
    // An incomplete reply is not a reply.
    QCOMPARE(view.appended, QByteArrayList { "Connected" });
    QVERIFY(!tick->polling());
    gw->send(reply.right(1));
    QTRY_VERIFY(link->loggedIn());
    QCOMPARE(view.appended, (QByteArrayList { "Connected", "Connection Success...", "Messages To Send = : 00000005" }));
    QCOMPARE(view.info, QByteArray("Split"));

    // The next reply starts afresh after the gathered one.
    gw->send(reply.left(200));
    QTest::qWait(20);
    QCOMPARE(view.appended.size(), 3);
    gw->send(reply.mid(200));
    QTRY_COMPARE(view.appended.size(), 5);
    QCOMPARE(view.appended.at(3), QByteArray("Transaction Success..."));
}

void TestLink::gatewayCloses()
{
    logIn();
    gw->peer()->disconnectFromHost();
    QTRY_COMPARE(view.appended.last(), QByteArray("Socket Disconnect"));
    QVERIFY(!tick->polling());
    QVERIFY(view.startEnabled);
    QVERIFY(!view.stopEnabled);
    QVERIFY(!view.green);
    QVERIFY(!link->isConnected());
    QTest::qWait(50);
    QCOMPARE(view.appended.count("Socket Disconnect"), 1);
    QVERIFY(!view.appended.contains("Socket Error"));
    QVERIFY(view.errors.isEmpty());

    // Start again: a fresh log-in.
    link->start();
    QVERIFY(!link->loggedIn());
    QTRY_COMPARE(gw->peers.size(), 2);
    QTRY_COMPARE(gw->received.size(), qsizetype(GatewayRecord::Size));
}

void TestLink::gatewayResets()
{
    logIn();
    gw->resetPeer();
    QTRY_VERIFY(!link->isConnected());
    QTRY_COMPARE(view.appended.last(), QByteArray("Socket Disconnect"));
    QTest::qWait(50);
    // Qt on Linux reads a reset as the end of the stream, so a reset stops
    // the link exactly as an orderly close does.
    QCOMPARE(view.appended.count("Socket Disconnect"), 1);
    QCOMPARE(view.appended.count("Socket Error"), 0);
    QVERIFY(!tick->polling());
    QVERIFY(view.startEnabled);
    QVERIFY(!view.green);
}

void TestLink::replyThenClose()
{
    logIn();
    const qsizetype before = view.appended.size();
    // A whole reply, part of another, and the close, all at once.
    gw->send(FakeGateway::reply('0', "00000002", "Last") + FakeGateway::reply('0', "00000001").left(100));
    gw->peer()->disconnectFromHost();
    QTRY_VERIFY(!link->isConnected());
    QCOMPARE(view.appended.mid(before),
        (QByteArrayList { "Transaction Success...", "Messages To Send = : 00000002", "Socket Disconnect" }));
    QCOMPARE(view.info, QByteArray("Last"));
    QVERIFY(!tick->polling());
}

void TestLink::stopWhileRunning()
{
    logIn();
    const qsizetype before = view.appended.size();
    link->stop();
    // The disconnected handling runs inside Stop, not later.
    QCOMPARE(view.appended.mid(before), QByteArrayList { "Socket Disconnect" });
    QVERIFY(!tick->polling());
    QVERIFY(view.startEnabled);
    QVERIFY(!view.stopEnabled);
    QVERIFY(!view.green);
    QTRY_COMPARE(gw->disconnects, 1);
    QTest::qWait(50);
    link->stop(); // a second Stop finds nothing to close
    QCOMPARE(view.appended.mid(before), QByteArrayList { "Socket Disconnect" });
    QVERIFY(view.errors.isEmpty());
}

void TestLink::stopWhilePending()
{
    link->start();
    QVERIFY(link->isPending());
    link->stop();
    // The attempt is given up: no connection, no log-in, nothing logged.
    QVERIFY(!link->isPending());
    QTest::qWait(50);
    QVERIFY(!link->isConnected());
    QVERIFY(view.appended.isEmpty());
    QVERIFY(view.startEnabled);
    QVERIFY(!view.stopEnabled);
    QVERIFY(gw->received.isEmpty());
}

void TestLink::badLineLimitStillStops()
{
    // A log that cannot check its limit must not keep the link running.
    logIn();
    options.lineLimit = OptionNumber::fromText("many");
    engine->configure(options);
    gw->peer()->disconnectFromHost();
    QTRY_VERIFY(!link->isConnected());
    QCOMPARE(view.errors, QStringList { QStringLiteral("'many' is not a valid integer value") });
    QCOMPARE(view.appended.last(), QByteArray("Socket Disconnect"));
    QVERIFY(!tick->polling());
    QVERIFY(!view.green);
    QVERIFY(view.startEnabled);

    // The log-in goes out though the log still cannot check its limit; the
    // fault is told once, not at every line.
    link->start();
    QTRY_COMPARE(gw->received.size(), qsizetype(GatewayRecord::Size));
    QTRY_VERIFY(link->isConnected());
    QCOMPARE(view.appended.last(), QByteArray("Connected"));
    link->stop();
    QCOMPARE(view.errors.size(), 1);
    QVERIFY(!link->isConnected());
    QVERIFY(!tick->polling());
    QVERIFY(!view.green);
    QVERIFY(view.startEnabled);
    QVERIFY(!view.stopEnabled);
    QTRY_COMPARE(gw->disconnects, 2);
}

void TestLink::connectionRefused()
{
    const QByteArray port = gw->port();
    gw->server.close();
    link->start();
    QTRY_COMPARE(view.appended, QByteArrayList { "Socket Error" });
    QVERIFY(!link->isPending());
    QTest::qWait(50);
    QCOMPARE(view.appended, QByteArrayList { "Socket Error" });
    QVERIFY(view.startEnabled);
    QVERIFY(!view.stopEnabled);
    QVERIFY(!tick->polling());

    // The failed attempt does not block a later Start.
    QVERIFY(gw->server.listen(QHostAddress::LocalHost, quint16(port.toInt())));
    link->start();
    QTRY_COMPARE(gw->received.size(), qsizetype(GatewayRecord::Size));
}

void TestLink::lookupFailure_data()
{
    addUnresolvableHostRows("address");
}

void TestLink::lookupFailure()
{
    QFETCH(QByteArray, address);
    QFETCH(int, waitMs);
    Settings s = settings.values();
    s.serverAddress = address;
    settings.replace(s);
    link->start();
    QTRY_COMPARE_WITH_TIMEOUT(view.appended, (QByteArrayList { "Socket Error", "Socket Disconnect" }), waitMs);
    QTest::qWait(50);
    QCOMPARE(view.appended.size(), 2);
    QVERIFY(view.startEnabled);
    QVERIFY(!view.green);
    QVERIFY(!link->isPending());
    QVERIFY(view.errors.isEmpty());
}

void TestLink::badPort_data()
{
    addBadPortRows();
}

void TestLink::badPort()
{
    QFETCH(QByteArray, port);
    QFETCH(QString, error);
    Settings s = settings.values();
    s.serverPort = port;
    settings.replace(s);
    try {
        link->start();
        QFAIL("Start accepted the port");
    } catch (const SmsError& e) {
        QCOMPARE(e.text(), error);
    }
    QVERIFY(!link->isPending());
    QVERIFY(!link->isConnected());
    QVERIFY(view.appended.isEmpty());
}

void TestLink::secondStartWhilePending()
{
    link->start();
    QVERIFY(link->isPending());
    link->start();
    link->start();
    QTRY_VERIFY(link->isConnected());
    QTest::qWait(50);
    QCOMPARE(gw->peers.size(), 1);
    QCOMPARE(view.appended, QByteArrayList { "Connected" });
    QCOMPARE(gw->received.size(), qsizetype(GatewayRecord::Size));
}

void TestLink::startWhileConnected()
{
    startAndConnect();
    // Same address and port: only the logged-in flag is cleared.
    link->start();
    QVERIFY(link->isConnected());

    Settings s = settings.values();
    s.serverAddress = "localhost";
    settings.replace(s);
    try {
        link->start();
        QFAIL("Start accepted a new address while connected");
    } catch (const SmsError& e) {
        QCOMPARE(e.text(), QStringLiteral("Can't change value while socket is active"));
    }
    QVERIFY(link->isConnected());
    QVERIFY(!link->loggedIn());
    QTest::qWait(50);
    QCOMPARE(gw->peers.size(), 1);
    QCOMPARE(gw->disconnects, 0);
    QCOMPARE(view.appended, QByteArrayList { "Connected" });

    // The connection still answers as before.
    gw->send(FakeGateway::reply('0', "00000001"));
    QTRY_VERIFY(link->loggedIn());
}

void TestLink::badPollField()
{
    options.pollInterval = OptionNumber::fromText("abc");
    engine->configure(options);
    startAndConnect();
    gw->send(FakeGateway::reply('0', "00000005", "Info"));
    QTRY_COMPARE(view.errors, QStringList { QStringLiteral("'abc' is not a valid integer value") });
    // What came before the poll field stays; what comes after it is skipped.
    QCOMPARE(view.appended, (QByteArrayList { "Connected", "Connection Success...", "Messages To Send = : 00000005" }));
    QCOMPARE(view.counter, QByteArray("00000005"));
    QCOMPARE(view.info, QByteArray("Info"));
    QVERIFY(link->loggedIn());
    QVERIFY(!tick->polling());
    QCOMPARE(tick->interval(), EngineOptions::DefaultPollMs);
    QVERIFY(!view.green);
    QVERIFY(view.startEnabled);
    QVERIFY(!view.stopEnabled);
    QVERIFY(link->isConnected());
}

void TestLink::unansweredNamedOnStop()
{
    QVERIFY(!link->sendMessageRecord(QByteArray(396, 'x'), "bak/never.sms", "n.sms")); // not connected
    logIn();
    const QByteArray first = GatewayRecord::buildMessageRecord({ "1", "2", "one" }, 'N', { "user", "secret", Key });
    const QByteArray second = GatewayRecord::buildMessageRecord({ "3", "4", "two" }, 'F', { "user", "secret", Key });
    QVERIFY(link->sendMessageRecord(first, "bak/SmsFile_1.sms", "one.sms"));
    QVERIFY(link->sendMessageRecord(second, "bak/SmsFile_2.flh", "two.flh"));
    QTRY_COMPARE(gw->received.size(), qsizetype(3 * GatewayRecord::Size));
    QCOMPARE(gw->received.mid(396), first + second);
    QCOMPARE(link->unansweredCount(), 2);

    gw->send(FakeGateway::reply('0', "00000001"));
    QTRY_COMPARE(link->unansweredCount(), 1);
    const qsizetype before = view.appended.size();
    link->stop();
    QCOMPARE(view.appended.mid(before), (QByteArrayList { "Socket Disconnect", "No reply for bak/SmsFile_2.flh" }));
    QCOMPARE(link->unansweredCount(), 0);
    // Each told once: the answered one at its reply, the other at the stop.
    QCOMPARE(fates,
        (QByteArrayList { "accepted bak/SmsFile_1.sms one.sms 0 00000001", "unanswered bak/SmsFile_2.flh two.flh" }));
    QVERIFY(!view.appended.contains("No reply for bak/never.sms"));
}

void TestLink::silenceTimedFromTheSend()
{
    // Two records out, the first answered late, the second never: the second's
    // silence counts from its send, not from the first one's reply.
    constexpr qint64 Timeout = 4000;
    constexpr int ReplyAfter = 2000;
    engine->inflight().setAnswerTimeout(std::chrono::milliseconds(Timeout));
    logIn();
    QElapsedTimer sent;
    QElapsedTimer replied;
    qint64 fromSend = -1;
    qint64 fromReply = -1;
    connect(link, &GatewayLink::answerTimedOut, this, [&] {
        fromSend = sent.elapsed();
        fromReply = replied.elapsed();
    });
    sent.start();
    QVERIFY(link->sendMessageRecord(QByteArray(396, 'x'), "bak/1.sms", "one.sms"));
    QVERIFY(link->sendMessageRecord(QByteArray(396, 'y'), "bak/2.sms", "two.sms"));
    QTRY_COMPARE(gw->received.size(), qsizetype(3 * GatewayRecord::Size));
    QTest::qWait(ReplyAfter);
    replied.start();
    gw->send(FakeGateway::reply('0', "00000004"));
    QTRY_COMPARE(link->unansweredCount(), 1);

    QSignalSpy closed(link, &GatewayLink::closed);
    QVERIFY2(closed.wait(int(Timeout) + 20000), "the silence after the reply was never noticed");
    QVERIFY2(fromSend >= Timeout, QByteArray::number(fromSend).constData());
    // Margins beyond a coarse timer's 5 %: from the reply it would be ~Timeout.
    QVERIFY2(fromReply < Timeout * 4 / 5, QByteArray::number(fromReply).constData());
    QCOMPARE(view.appended.mid(view.appended.indexOf("No answer from the gateway in 4 s")),
        (QByteArrayList { "No answer from the gateway in 4 s", "Socket Disconnect", "No reply for bak/2.sms" }));
    QCOMPARE(fates, (QByteArrayList { "accepted bak/1.sms one.sms 0 00000004", "unanswered bak/2.sms two.sms" }));
}

void TestLink::refusedNamed_data()
{
    QTest::addColumn<bool>("loginFails");
    QTest::addColumn<char>("result");
    QTest::addColumn<QByteArrayList>("lines");
    QTest::addColumn<QByteArray>("fate");
    QTest::newRow("transaction fail") << false << '7'
                                      << QByteArrayList { "Transaction Fail...", "Messages To Send = : 00000004",
                                             "Refused: bak/SmsFile_1.sms" }
                                      << QByteArray("refused bak/SmsFile_1.sms one.sms 7 00000004");
    QTest::newRow("success") << false << '0'
                             << QByteArrayList { "Transaction Success...", "Messages To Send = : 00000004" }
                             << QByteArray("accepted bak/SmsFile_1.sms one.sms 0 00000004");
    // After a failed log-in the message's reply is read as a log-in.
    QTest::newRow("read as a log-in") << true << '9'
                                      << QByteArrayList { "Connection Fail...", "Trans result = : 9",
                                             "Refused: bak/SmsFile_1.sms" }
                                      << QByteArray("refused bak/SmsFile_1.sms one.sms 9 00000004");
    QTest::newRow("log-in by a message") << true << '0'
                                         << QByteArrayList { "Connection Success...", "Messages To Send = : 00000004" }
                                         << QByteArray("accepted bak/SmsFile_1.sms one.sms 0 00000004");
}

void TestLink::refusedNamed()
{
    QFETCH(bool, loginFails);
    QFETCH(char, result);
    QFETCH(QByteArrayList, lines);
    QFETCH(QByteArray, fate);
    startAndConnect();
    gw->send(FakeGateway::reply(loginFails ? '9' : '0', "00000005"));
    QTRY_COMPARE(view.appended.size(), 3);
    QVERIFY(link->sendMessageRecord(QByteArray(396, 'x'), "bak/SmsFile_1.sms", "one.sms"));
    QTRY_COMPARE(gw->received.size(), qsizetype(2 * GatewayRecord::Size));
    gw->send(FakeGateway::reply(result, "00000004"));
    QTRY_COMPARE(view.appended.size(), 3 + lines.size());
    QCOMPARE(view.appended.mid(3), lines);
    QCOMPARE(fates, QByteArrayList { fate });
    // The log-in's own reply settles no message, and a later stop names none.
    link->stop();
    QCOMPARE(fates.size(), 1);
    QVERIFY(!view.appended.contains("No reply for bak/SmsFile_1.sms"));
}

void TestLink::largeWritesAreQueued()
{
    logIn();
    // Far more than the socket takes at once; none of it may be lost.
    constexpr int count = 20000;
    QByteArray expected = gw->received;
    for (int i = 0; i < count; ++i) {
        const QByteArray record
            = GatewayRecord::buildMessageRecord({ "1", "2", QByteArray::number(i) }, 'N', { "user", "secret", Key });
        QVERIFY(link->sendMessageRecord(record, "bak/SmsFile_" + QByteArray::number(i) + ".sms", "m.sms"));
        expected += record;
    }
    QTRY_COMPARE_WITH_TIMEOUT(gw->received.size(), expected.size(), 20000);
    QVERIFY(gw->received == expected);
    QCOMPARE(link->unansweredCount(), count);
    QVERIFY(view.errors.isEmpty());
}

QTEST_GUILESS_MAIN(TestLink)
#include "tst_link.moc"
