#include "DesktopNotices.h"
#include "fakenotifications.h"
#include "record.h"
#include "recordingview.h"
#include "settings.h"
#include "testgateway.h"
#include "windowtestsupport.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>
#include <QWidget>

class TestNotices : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void whichEventsGiveANotice_data();
    void whichEventsGiveANotice();
    void refusedAreGathered();
    void oneNewNoticeAMinute();
    void linkBackReplacesLinkLost();
    void linkDownLongIsCritical();
    void defaultActionRaisesTheWindow();
    void noServiceIsToldOnce();
    void switchedOff();
    void windowTellsWhatTheEngineMet();

private:
    // Sends a notice every test expects last, and waits for the calls.
    void settle(qsizetype calls);
    void later(qint64 seconds)
    {
        clock.time = clock.time.addSecs(seconds);
        notices->wake();
    }

    FixedClock clock;
    std::unique_ptr<QWidget> window;
    std::unique_ptr<FakeNotifications> fake;
    std::unique_ptr<DesktopNotices> notices;
};

void TestNotices::initTestCase()
{
    // Never the desktop's own bus: dbus-run-session gives a private one.
    if (!qEnvironmentVariableIsSet("SMS_PRIVATE_SESSION_BUS"))
        QSKIP("dbus-run-session is not installed: no private session bus for the test");
    QVERIFY(QDBusConnection::sessionBus().isConnected());
}

void TestNotices::init()
{
    clock.time = QDateTime(QDate(2007, 3, 5), QTime(9, 4, 7));
    window = std::make_unique<QWidget>();
    fake = std::make_unique<FakeNotifications>();
    QVERIFY(fake->start());
    notices = std::make_unique<DesktopNotices>(window.get(), clock);
}

void TestNotices::cleanup()
{
    notices.reset();
    fake.reset();
    window.reset();
}

void TestNotices::settle(qsizetype calls)
{
    QTRY_COMPARE_WITH_TIMEOUT(fake->calls.size(), calls, 20000);
}

enum Event { LinkBackSoon, LinkStopped, LinkLostLong, Silent, Refused, Unanswered, Accepted, CreditLow };

void TestNotices::whichEventsGiveANotice_data()
{
    QTest::addColumn<int>("event");
    QTest::addColumn<QString>("summary");
    QTest::newRow("link back within 30 s") << int(LinkBackSoon) << QString();
    QTest::newRow("link stopped by the operator") << int(LinkStopped) << QString();
    QTest::newRow("link lost 30 s") << int(LinkLostLong) << QStringLiteral("Link lost");
    QTest::newRow("gateway silent") << int(Silent) << QStringLiteral("Gateway silent");
    QTest::newRow("refused") << int(Refused) << QStringLiteral("1 message refused");
    QTest::newRow("unanswered") << int(Unanswered) << QStringLiteral("1 message unanswered");
    QTest::newRow("accepted") << int(Accepted) << QString();
    QTest::newRow("credit low") << int(CreditLow) << QStringLiteral("Credit low: 00000005");
}

void TestNotices::whichEventsGiveANotice()
{
    QFETCH(int, event);
    QFETCH(QString, summary);
    switch (Event(event)) {
    case LinkBackSoon:
        notices->linkLost();
        later(29);
        notices->linkBack();
        later(60);
        break;
    case LinkStopped:
        notices->linkLost();
        later(10);
        notices->linkStopped();
        later(60);
        break;
    case LinkLostLong:
        notices->linkLost();
        later(29);
        QCOMPARE(fake->calls.size(), 0);
        later(1);
        break;
    case Silent:
        notices->gatewaySilent();
        break;
    case Refused:
        notices->messageSettled(Ledger::Outcome::Refused);
        break;
    case Unanswered:
        notices->messageSettled(Ledger::Outcome::Unanswered);
        break;
    case Accepted:
        notices->messageSettled(Ledger::Outcome::Accepted);
        break;
    case CreditLow:
        notices->creditLow("00000005");
        break;
    }
    // A notice of another kind last: whatever came before it has come.
    if (summary != QLatin1String("Gateway silent"))
        notices->gatewaySilent();
    QStringList expected { QStringLiteral("Gateway silent") };
    if (!summary.isEmpty() && summary != expected.constFirst())
        expected.prepend(summary);
    settle(expected.size());
    QCOMPARE(fake->summaries(), expected);
    for (const FakeNotifications::Call& call : std::as_const(fake->calls)) {
        QCOMPARE(call.hints.value(QStringLiteral("desktop-entry")).toString(), QStringLiteral("marlek-sms-sender"));
        QCOMPARE(call.hints.value(QStringLiteral("urgency")).toInt(), 1);
        QVERIFY(call.actions.contains(QStringLiteral("default")));
        QCOMPARE(call.app, QStringLiteral("MARLEK SMS Sender"));
    }
}

void TestNotices::refusedAreGathered()
{
    for (int i = 0; i < 3; ++i)
        notices->messageSettled(Ledger::Outcome::Refused);
    notices->messageSettled(Ledger::Outcome::Unanswered);
    settle(2);
    // The rest are shown once the first notice's id is known, and a few
    // seconds have passed since it.
    later(4);
    QCOMPARE(fake->calls.size(), 2);
    later(1);
    settle(3);
    const auto& calls = fake->calls;
    QCOMPARE(calls[0].summary, QStringLiteral("1 message refused"));
    QCOMPARE(calls[1].summary, QStringLiteral("1 message unanswered"));
    QCOMPARE(calls[2].summary, QStringLiteral("3 messages refused"));
    QCOMPARE(calls[2].replaces, calls[0].id);

    // Past the minute a new notice begins, counting afresh.
    later(56);
    notices->messageSettled(Ledger::Outcome::Refused);
    settle(4);
    QCOMPARE(calls[3].summary, QStringLiteral("1 message refused"));
    QCOMPARE(calls[3].replaces, 0u);
}

void TestNotices::oneNewNoticeAMinute()
{
    notices->gatewaySilent();
    settle(1);
    // Within the minute the notice is replaced, gathering the events.
    later(10);
    notices->gatewaySilent();
    notices->gatewaySilent();
    settle(2);
    QCOMPARE(fake->calls[1].body, QStringLiteral("The gateway did not answer in time, 3 times since 09:04:07."));
    later(30);
    notices->gatewaySilent();
    settle(3);
    QCOMPARE(fake->fresh(), 1);
    later(20);
    notices->gatewaySilent();
    settle(4);
    QCOMPARE(fake->fresh(), 2);
    QCOMPARE(fake->calls[3].body, QStringLiteral("The gateway did not answer in time, at 09:05:07."));
}

void TestNotices::linkBackReplacesLinkLost()
{
    notices->linkLost();
    later(30);
    settle(1);
    later(10);
    notices->linkBack();
    settle(2);
    const auto& calls = fake->calls;
    QCOMPARE(calls[1].summary, QStringLiteral("Link back"));
    QCOMPARE(calls[1].replaces, calls[0].id);
    QVERIFY(calls[1].timeout > 0);
    QCOMPARE(calls[1].hints.value(QStringLiteral("transient")).toBool(), true);

    // Lost again within the minute of the last "Link lost": held back
    // until the minute is over, and shown then as it is still down.
    later(5);
    notices->linkLost();
    later(30);
    QCOMPARE(fake->calls.size(), 2);
    later(14);
    QCOMPARE(fake->calls.size(), 2);
    later(1);
    settle(3);
    QCOMPARE(calls[2].summary, QStringLiteral("Link lost"));
    QCOMPARE(calls[2].replaces, 0u);
    // The operator's Stop takes it away rather than saying "Link back".
    notices->linkStopped();
    QTRY_COMPARE(fake->closed, QList<uint> { calls[2].id });
    QCOMPARE(fake->calls.size(), 3);
}

void TestNotices::linkDownLongIsCritical()
{
    notices->linkLost();
    later(30);
    settle(1);
    later(269);
    QCOMPARE(fake->calls.size(), 1);
    later(1);
    settle(2);
    const auto& calls = fake->calls;
    QCOMPARE(calls[1].replaces, calls[0].id);
    QCOMPARE(calls[1].hints.value(QStringLiteral("urgency")).toInt(), 2);
    notices->linkBack();
    settle(3);
    QCOMPARE(calls[2].summary, QStringLiteral("Link back"));
    QCOMPARE(calls[2].replaces, calls[0].id);
    QCOMPARE(calls[2].hints.value(QStringLiteral("urgency")).toInt(), 1);
}

void TestNotices::defaultActionRaisesTheWindow()
{
    window->showMinimized();
    notices->gatewaySilent();
    settle(1);
    // The service's signal comes after its reply, which names the notice.
    Q_EMIT fake->ActionInvoked(fake->calls[0].id, QStringLiteral("default"));
    QTRY_VERIFY(window->isVisible() && !window->isMinimized());
}

void TestNotices::noServiceIsToldOnce()
{
    fake->stop();
    QSignalSpy told(notices.get(), &DesktopNotices::logLine);
    notices->gatewaySilent();
    QVERIFY(told.wait(20000));
    QVERIFY(told.constFirst().constFirst().toByteArray().startsWith("Desktop notices: no notification service"));
    notices->messageSettled(Ledger::Outcome::Refused);
    QVERIFY(!told.wait(1000));
    // A service that comes later is used.
    QVERIFY(fake->start());
    notices->creditLow("00000001");
    settle(1);
    QCOMPARE(told.size(), 1);
}

void TestNotices::switchedOff()
{
    notices->gatewaySilent();
    settle(1);
    notices->setEnabled(false);
    QTRY_COMPARE(fake->closed, QList<uint> { fake->calls[0].id });
    notices->linkLost();
    later(30);
    notices->messageSettled(Ledger::Outcome::Refused);
    notices->linkBack();
    notices->setEnabled(true);
    later(61);
    notices->messageSettled(Ledger::Outcome::Unanswered);
    settle(2);
    QCOMPARE(fake->calls[1].summary, QStringLiteral("1 message unanswered"));
}

void TestNotices::windowTellsWhatTheEngineMet()
{
    // The main window hands the engine's events on: a lost link (told after
    // its grace) and a refused message.
    QStandardPaths::setTestModeEnabled(true);
    WindowTestScope scope;
    FakeGateway gw;
    QVERIFY(gw.listen());
    writeSettingsFile({ "out/", "bak/", "127.0.0.1", gw.port(), "user", "secret", "ABCDEFGHIJKLMNOP" });
    QVERIFY(QDir().mkpath(QStringLiteral("out")) && QDir().mkpath(QStringLiteral("bak")));
    SettingsStore settings;
    EngineWindow w(settings, nullptr, &clock);
    w.notices().setEnabled(true);
    w.startLink();
    QTRY_VERIFY(gw.received.size() >= GatewayRecord::Size);
    gw.send(FakeGateway::reply('0', "00000009"));
    QTRY_VERIFY(w.engine().status().polling);
    QVERIFY(w.engine().link().sendMessageRecord(QByteArray(GatewayRecord::Size, 'x'), "bak/1.sms", "1.sms"));
    QTRY_COMPARE(gw.received.size(), qsizetype(2 * GatewayRecord::Size));
    gw.send(FakeGateway::reply('5', "00000009"));
    settle(1);
    gw.peer()->disconnectFromHost();
    QTRY_VERIFY(!w.engine().link().isConnected());
    clock.time = clock.time.addSecs(30);
    w.notices().wake();
    settle(2);
    QCOMPARE(fake->summaries(), (QStringList { QStringLiteral("1 message refused"), QStringLiteral("Link lost") }));
}

QTEST_MAIN(TestNotices)
#include "tst_notices.moc"
