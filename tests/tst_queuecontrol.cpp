#include "enginefixture.h"
#include "fsutil.h"
#include "ledger.h"
#include "record.h"
#include "statusfile.h"
#include "testgateway.h"
#include "testsupport.h"

#include <QSignalSpy>
#include <QTest>

#include <sys/time.h>

namespace {
const QByteArray Key = "ABCDEFGHIJKLMNOP";
} // namespace

// The operator's controls of the queue, one group each, against the engine
// and a gateway on loopback, the clock set by the test.
class TestQueueControl : public QObject, public EngineFixture
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void pauseOutlivesARestart();
    void drainSettlesWhatWaits();
    void expiredFileNeverSent();
    void capOutlivesARestart_data();
    void capOutlivesARestart();
    void sendWindow_data();
    void sendWindow();
    void lowCreditOncePerFall();
    void statusFileShowsTheControls();

private:
    void restart();
    void logIn();
    bool tickSends();
    qsizetype messagesSent() const { return gw->received.size() / GatewayRecord::Size - 1; }
    QByteArray work() const { return QFile::encodeName(tmp->path()) + '/'; }

    FakeGateway* gw = nullptr;
    FixedClock clock;
    int fileNumber = 0;
};

void TestQueueControl::init()
{
    QVERIFY(setUp());
    gw = new FakeGateway;
    QVERIFY(gw->listen());
    options.pollInterval = 600000; // ticks are driven by hand
    options.logFoundFiles = false;
    clock.time = QDateTime(QDate(2007, 3, 5), QTime(12, 0));
    fileNumber = 0;
    restart();
}

void TestQueueControl::cleanup()
{
    view.unwatch();
    engine.reset();
    delete gw;
    gw = nullptr;
    tearDown();
}

void TestQueueControl::restart()
{
    view.unwatch();
    engine.reset();
    startEngine(gw->port(), Key, clock);
    engine->start(work());
}

void TestQueueControl::logIn()
{
    const qsizetype peers = gw->peers.size();
    engine->link().start();
    QTRY_VERIFY(gw->peers.size() > peers && gw->received.size() >= GatewayRecord::Size);
    gw->send(FakeGateway::reply('0', "00000100"));
    QTRY_VERIFY(engine->link().loggedIn());
}

// Drops one file and ticks; whether a record left for the gateway.
bool TestQueueControl::tickSends()
{
    const qsizetype before = engine->inflight().unanswered();
    clock.time = clock.time.addMSecs(10);
    if (!writeMessage("m" + QByteArray::number(++fileNumber) + ".sms", "1\r\n2\r\ntext\r\n"))
        return false;
    runGuarded(view, [this] { engine->tick().runOnce(); });
    return engine->inflight().unanswered() > before;
}

void TestQueueControl::pauseOutlivesARestart()
{
    logIn();
    engine->gate().setPaused(true);
    QVERIFY(engine->status().paused);
    QVERIFY(!tickSends());
    QVERIFY(view.appended.contains("Paused"));

    // Paused by marlek-sms's file, the next run starts paused and keeps the
    // link: replies are still read.
    restart();
    QVERIFY(engine->status().paused);
    logIn();
    QVERIFY(!tickSends());
    QCOMPARE(outboxFiles().size(), 2);

    QVERIFY(Fs::removeFile(QueueGate::controlPath(work(), QueueGate::PauseFile)));
    QTRY_VERIFY(!engine->status().paused);
    QVERIFY(view.appended.contains("Resumed"));
    QVERIFY(tickSends());
}

void TestQueueControl::drainSettlesWhatWaits()
{
    logIn();
    for (int i = 0; i < 8; ++i)
        QVERIFY(tickSends());
    QTRY_COMPARE(messagesSent(), 8);
    QSignalSpy drained(engine.get(), &DispatchEngine::drained);
    QVERIFY(Fs::writeFile(QueueGate::controlPath(work(), QueueGate::DrainFile), QByteArray()));
    QTRY_VERIFY(engine->status().draining);
    QVERIFY(!tickSends()); // no file is taken while draining
    for (int i = 0; i < 8; ++i) {
        QCOMPARE(drained.size(), 0);
        gw->send(FakeGateway::reply('0', "00000100"));
        QTRY_COMPARE(engine->inflight().unanswered(), 7 - i);
    }
    QTRY_COMPARE(drained.size(), 1);
    QVERIFY(!engine->status().draining);
    QVERIFY(!Fs::exists(QueueGate::controlPath(work(), QueueGate::DrainFile)));
    // Every message settled or still in the outbox, none unnamed.
    QCOMPARE(engine->status().totals[size_t(Ledger::Outcome::Accepted)], 8);
    QCOMPARE(outboxFiles(), QStringList { QStringLiteral("m9.sms") });
}

void TestQueueControl::expiredFileNeverSent()
{
    options.maxAgeSeconds = 90 * 60;
    configure();
    logIn();
    QVERIFY(writeMessage("old.sms", "1\r\n2\r\nstale\r\n"));
    // Written two hours before the clock's time.
    const qint64 written = clock.time.toSecsSinceEpoch() - 2 * 3600;
    const timeval times[2] = { { written, 0 }, { written, 0 } };
    QCOMPARE(::utimes(outPath("old.sms").constData(), times), 0);
    QList<MessageFate> fates;
    connect(&engine->inflight(), &InFlight::messageSettled, this, [&](const MessageFate& f) { fates.append(f); });
    runGuarded(view, [this] { engine->tick().runOnce(); });

    QCOMPARE(engine->inflight().unanswered(), 0);
    QTest::qWait(50);
    QCOMPARE(messagesSent(), 0);
    QVERIFY(outboxFiles().isEmpty());
    QCOMPARE(fates.size(), 1);
    QCOMPARE(fates[0].outcome, MessageFate::Expired);
    QVERIFY(Fs::exists(fates[0].backupPath));
    QVERIFY(view.appended.contains("Expired: " + fates[0].backupPath));
    const QByteArray ledger = readRaw(QFile::decodeName(work() + Ledger::FileName));
    QCOMPARE(Ledger::parse(ledger.chopped(1))->outcome, Ledger::Outcome::Expired);
    // A fresh file still goes.
    QVERIFY(tickSends());
}

void TestQueueControl::capOutlivesARestart_data()
{
    QTest::addColumn<bool>("hourly");
    QTest::newRow("hourly") << true;
    QTest::newRow("daily") << false;
}

void TestQueueControl::capOutlivesARestart()
{
    QFETCH(bool, hourly);
    (hourly ? options.maxPerHour : options.maxPerDay) = 2;
    configure();
    logIn();
    for (int i = 0; i < 2; ++i) {
        QVERIFY(tickSends());
        gw->send(FakeGateway::reply('0', "00000100"));
        QTRY_COMPARE(engine->inflight().unanswered(), 0);
    }
    QVERIFY(!tickSends());
    const QByteArray line = hourly ? "Hourly cap of 2 reached until 13:00" : "Daily cap of 2 reached until 12:00";
    QCOMPARE(view.appended.count(line), 1);
    QVERIFY(engine->status().cappedUntil.isValid());

    // Counted from the ledger: a restart does not reset it.
    restart();
    logIn();
    QVERIFY(!tickSends());
    QVERIFY(engine->status().cappedUntil.isValid());
    // Once the window has passed, the files go again.
    clock.time = clock.time.addSecs(hourly ? 3601 : 86401);
    QVERIFY(tickSends());
}

void TestQueueControl::sendWindow_data()
{
    QTest::addColumn<QString>("window");
    QTest::addColumn<QTime>("closedAt");
    QTest::addColumn<QByteArray>("closedLine");
    QTest::addColumn<QTime>("openAt");
    QTest::addColumn<QByteArray>("openLine");
    QTest::newRow("day") << "08:00-20:00" << QTime(3, 0) << QByteArray("Send window closed until 08:00") << QTime(8, 0)
                         << QByteArray("Send window open until 20:00");
    QTest::newRow("past midnight") << "22:00-06:00" << QTime(12, 0) << QByteArray("Send window closed until 22:00")
                                   << QTime(23, 30) << QByteArray("Send window open until 06:00");
}

void TestQueueControl::sendWindow()
{
    QFETCH(QString, window);
    QFETCH(QTime, closedAt);
    QFETCH(QByteArray, closedLine);
    QFETCH(QTime, openAt);
    QFETCH(QByteArray, openLine);
    options.sendWindow = EngineCommandLine::parseSendWindow(window);
    QVERIFY(options.sendWindow);
    configure();
    clock.time.setTime(closedAt);
    logIn();
    QVERIFY(!tickSends());
    QVERIFY(!tickSends());
    QCOMPARE(view.appended.count(closedLine), 1);
    QCOMPARE(engine->status().sendWindowOpen, std::optional<bool>(false));
    clock.time.setTime(openAt);
    QVERIFY(tickSends());
    QCOMPARE(view.appended.count(openLine), 1);
    QCOMPARE(engine->status().sendWindowOpen, std::optional<bool>(true));
}

void TestQueueControl::lowCreditOncePerFall()
{
    options.lowCredit = 3;
    configure();
    logIn();
    // Counters as the replies bring them: a fall to the mark, lower still,
    // up above it, and down again.
    for (const QByteArray counter : { "00000005", "00000003", "00000002", "00000002", "00000007", "00000001" }) {
        QVERIFY(tickSends());
        gw->send(FakeGateway::reply('0', counter));
        QTRY_COMPARE(engine->status().counter, counter);
    }
    QByteArrayList warnings;
    for (qsizetype i = 0; i < view.appended.size(); ++i) {
        if (view.appended[i].startsWith("Credit low"))
            warnings.append(view.appended[i]);
    }
    QCOMPARE(warnings, (QByteArrayList { "Credit low: 00000003 messages left", "Credit low: 00000001 messages left" }));
    QCOMPARE(view.severities[view.appended.indexOf(warnings[0])], LogEvent::Warning);
    QVERIFY(engine->status().creditLow);
}

void TestQueueControl::statusFileShowsTheControls()
{
    options.sendWindow = EngineCommandLine::parseSendWindow(QStringLiteral("08:00-20:00"));
    options.maxPerHour = 1;
    configure();
    engine->gate().setPaused(true);
    QTRY_VERIFY(engine->status().paused);
    engine->statusFiles().writeStatus();
    engine->statusFiles().flushWrites();
    QString error;
    const std::optional<SenderStatus> s
        = SenderStatus::fromJson(readRaw(QFile::decodeName(work() + SenderStatus::FileName)), &error);
    QVERIFY2(s, qPrintable(error));
    QVERIFY(s->paused);
    QVERIFY(!s->draining);
    QCOMPARE(s->sendWindowOpen, std::optional<bool>(true));
    QCOMPARE(s->sendWindowChangesAt, QDateTime(clock.time.date(), QTime(20, 0)));
    QVERIFY(!s->cappedUntil.isValid());
    const QByteArray metrics = StatusFiles::metricsText(*s);
    QVERIFY(metrics.contains("\nmarlek_sms_paused 1\n"));
    QVERIFY(metrics.contains("\nmarlek_sms_send_window_open 1\n"));
    QVERIFY(metrics.contains("\nmarlek_sms_capped 0\n"));
}

QTEST_GUILESS_MAIN(TestQueueControl)
#include "tst_queuecontrol.moc"
