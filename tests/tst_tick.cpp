#include "enginefixture.h"
#include "errorroute.h"
#include "fsutil.h"
#include "record.h"
#include "recordingview.h"
#include "settings.h"
#include "testgateway.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {
const QByteArray Key = "ABCDEFGHIJKLMNOP";
// User name, password and user key as bytes 0 to 35 of every request.
const QByteArray CredentialBytes = QByteArray("user\0\0\0\0\0\0secret\0\0\0\0", 20) + Key;

QByteArray journalText(const QByteArray& dir)
{
    return readRaw(QFile::decodeName(dir + SendJournal::FileName));
}
} // namespace

class TestTick : public QObject, public EngineFixture
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void emptyOutboxOnlyBlinks();
    void threeFilesOverThreeTicks();
    void kindLetters_data();
    void kindLetters();
    void viewActionsLine();
    void nothingTakenWhileNotConnected();
    void failedMoveKeepsFile();
    void unreadableFilesPassedOver();
    void fileStillBeingWritten();
    void fileTakenByAnotherSender_data();
    void fileTakenByAnotherSender();
    void twoMovesInOneMillisecond_data();
    void twoMovesInOneMillisecond();
    void unansweredNamedWhenGatewayCloses();
    void settingsChangeOnNextTick();
    void timerDrivesTicks();
    void journalFollowsMessages();
    void journalRecovery_data();
    void journalRecovery();
    void journalNotWritable();
    void unansweredRecordsBounded_data();
    void unansweredRecordsBounded();
    void silentGatewayEndsLink_data();
    void silentGatewayEndsLink();
    void compactionKeepsSendOrder();

private:
    // What an engine started next in work logs.
    QByteArrayList nextStartLines(const QByteArray& work)
    {
        RecordingView later;
        DispatchEngine next(settings, later, clock);
        next.configure(options);
        later.watch(next);
        next.start(work);
        return later.appended;
    }
    // Quiet: without the "Found SMS File" lines.
    enum Lines { Found, Quiet };
    void logIn(Lines lines = Found);
    void tick();
    QList<QByteArray> sentRecords() const;
    QStringList backupFiles(const QByteArray& dir) const;

    FakeGateway* gw = nullptr;
    FixedClock clock;
};

void TestTick::init()
{
    QVERIFY(setUp());
    gw = new FakeGateway;
    QVERIFY(gw->listen());
    // Ticks are driven by hand unless a test says otherwise.
    options.pollInterval = OptionNumber::fromText("600000");
    configure();
    clock.time = QDateTime(QDate(2007, 3, 5), QTime(9, 4, 7, 89));
    startEngine(gw->port(), Key, clock);
}

void TestTick::cleanup()
{
    engine.reset();
    delete gw;
    gw = nullptr;
    tearDown();
}

void TestTick::logIn(Lines lines)
{
    if (lines == Quiet) {
        options.logFoundFiles = false;
        configure();
    }
    engine->link().start();
    QTRY_COMPARE(gw->received.size(), qsizetype(GatewayRecord::Size));
    gw->send(FakeGateway::reply('0', "00000009", "Hi"));
    QTRY_VERIFY(engine->link().loggedIn());
    view.appended.clear();
}

void TestTick::tick()
{
    // As the timer runs it: an error goes to the error box.
    runGuarded(view, [this] { engine->tick().runOnce(); });
}

QList<QByteArray> TestTick::sentRecords() const
{
    QList<QByteArray> records;
    for (qsizetype at = GatewayRecord::Size; at + GatewayRecord::Size <= gw->received.size(); at += GatewayRecord::Size)
        records.append(gw->received.mid(at, GatewayRecord::Size));
    return records;
}

QStringList TestTick::backupFiles(const QByteArray& dir) const
{
    return QDir(QFile::decodeName(dir)).entryList(QDir::Files, QDir::Name);
}

void TestTick::emptyOutboxOnlyBlinks()
{
    logIn();
    for (int i = 0; i < 3; ++i)
        tick();
    QCOMPARE(view.activityToggles, 3);
    QVERIFY(view.appended.isEmpty());
    QVERIFY(view.errors.isEmpty());
    QCOMPARE(engine->link().unansweredCount(), 0);
    QVERIFY(backupFiles(bakDir).isEmpty());
}

void TestTick::threeFilesOverThreeTicks()
{
    logIn();
    QVERIFY(writeMessage("a.sms", "111\r\nAlice\r\nfirst text\r\n"));
    QVERIFY(writeMessage("b.sms", "222\nBob\nsecond text\n"));
    QVERIFY(writeMessage("c.sms", "333\rCarol\rthird text\rignored fourth\r"));
    for (int i = 1; i <= 3; ++i) {
        tick();
        QCOMPARE(outboxFiles().size(), 3 - i); // one file per tick
        QCOMPARE(engine->link().unansweredCount(), i);
        clock.time = clock.time.addMSecs(1);
    }
    tick();
    QCOMPARE(engine->link().unansweredCount(), 3);
    QTRY_COMPARE(sentRecords().size(), 3);
    QVERIFY(view.errors.isEmpty());

    const QStringList backups = backupFiles(bakDir);
    QCOMPARE(backups,
        (QStringList { QStringLiteral("SmsFile_2007_3_5_9_4_7_89.sms"), QStringLiteral("SmsFile_2007_3_5_9_4_7_90.sms"),
            QStringLiteral("SmsFile_2007_3_5_9_4_7_91.sms") }));
    const QList<QByteArray> records = sentRecords();
    QSet<QByteArray> texts;
    for (int i = 0; i < 3; ++i) {
        const QByteArray& r = records[i];
        QCOMPARE(r.left(36), CredentialBytes);
        QCOMPARE(r.at(36), 'N');
        QCOMPARE(r.mid(227), QByteArray(GatewayRecord::Size - 227, '\0'));
        // The record of tick i carries the file archived on tick i.
        QFile backup(QDir(QFile::decodeName(bakDir)).filePath(backups[i]));
        QVERIFY(backup.open(QIODevice::ReadOnly));
        const QByteArray content = backup.readAll();
        const QByteArray destination = r.mid(37, 15).split('\0').first();
        const QByteArray sender = r.mid(52, 15).split('\0').first();
        const QByteArray text = r.mid(67, 160).split('\0').first();
        QVERIFY2(content.startsWith(destination), content.constData());
        QVERIFY(content.contains(sender));
        QVERIFY(content.contains(text));
        texts.insert(destination + '|' + sender + '|' + text);
    }
    QCOMPARE(texts, (QSet<QByteArray> { "111|Alice|first text", "222|Bob|second text", "333|Carol|third text" }));
}

void TestTick::kindLetters_data()
{
    QTest::addColumn<QByteArray>("extension");
    QTest::addColumn<char>("letter");
    QTest::newRow("normal") << QByteArray(".sms") << 'N';
    QTest::newRow("ring tone") << QByteArray(".ring") << 'M';
    QTest::newRow("logo") << QByteArray(".lnol") << 'L';
    QTest::newRow("flash") << QByteArray(".flh") << 'F';
}

void TestTick::kindLetters()
{
    QFETCH(QByteArray, extension);
    QFETCH(char, letter);
    logIn();
    QVERIFY(writeMessage("m" + extension, "+391234567890123\r\nSENDER-FIFTEEN!\r\n" + QByteArray(170, 'z') + "\r\n"));
    tick();
    QTRY_COMPARE(sentRecords().size(), 1);
    const QByteArray r = sentRecords().first();
    QCOMPARE(r.left(36), CredentialBytes);
    QCOMPARE(r.at(36), letter);
    QCOMPARE(r.mid(37, 15), QByteArray("+39123456789012"));
    QCOMPARE(r.mid(52, 15), QByteArray("SENDER-FIFTEEN!"));
    QCOMPARE(r.mid(67, 160), QByteArray(160, 'z'));
    QCOMPARE(backupFiles(bakDir),
        QStringList { QStringLiteral("SmsFile_2007_3_5_9_4_7_89") + QString::fromLatin1(extension) });
    QVERIFY(outboxFiles().isEmpty());
}

void TestTick::viewActionsLine()
{
    logIn(Quiet);
    QVERIFY(writeMessage("quiet.sms", "1\r\n2\r\n3\r\n"));
    tick();
    QCOMPARE(engine->link().unansweredCount(), 1);
    QVERIFY(view.appended.isEmpty());

    options.logFoundFiles = true;
    configure();

    configure();
    QVERIFY(writeMessage("loud.ring", "1\r\n2\r\n3\r\n"));
    tick();
    QCOMPARE(engine->link().unansweredCount(), 2);
    QCOMPARE(view.appended, QByteArrayList { "Found SMS File Ext = .ring" });
}

void TestTick::nothingTakenWhileNotConnected()
{
    QVERIFY(writeMessage("a.sms", "1\r\n2\r\n3\r\n"));
    tick();
    QCOMPARE(view.activityToggles, 1);
    QCOMPARE(outboxFiles(), QStringList { QStringLiteral("a.sms") });

    // Connecting but not yet connected: still nothing taken.
    engine->link().start();
    QVERIFY(engine->link().isPending());
    tick();
    QCOMPARE(outboxFiles(), QStringList { QStringLiteral("a.sms") });

    QTRY_COMPARE(gw->received.size(), qsizetype(GatewayRecord::Size));
    gw->send(FakeGateway::reply('0', "00000001"));
    QTRY_VERIFY(engine->link().loggedIn());
    engine->link().stop();
    tick();
    QCOMPARE(view.activityToggles, 3);
    QCOMPARE(outboxFiles(), QStringList { QStringLiteral("a.sms") });
    QVERIFY(backupFiles(bakDir).isEmpty());
    QVERIFY(view.errors.isEmpty());
    QVERIFY(!view.appended.contains("Found SMS File Ext = .sms"));
}

void TestTick::failedMoveKeepsFile()
{
    logIn(Quiet);
    const QByteArray missing = QFile::encodeName(tmp->path()) + "/missing/";
    Settings s = settings.values();
    s.backupDir = missing;
    settings.replace(s);
    QVERIFY(writeMessage("a.sms", "1\r\n2\r\nstuck\r\n"));
    for (int i = 0; i < 3; ++i) {
        tick();
        clock.time = clock.time.addMSecs(1);
    }
    // Not sent, still in the outbox, said once.
    QCOMPARE(engine->link().unansweredCount(), 0);
    QCOMPARE(outboxFiles(), QStringList { QStringLiteral("a.sms") });
    QCOMPARE(view.appended,
        QByteArrayList { "Cannot move " + outPath("a.sms") + " to " + missing + "SmsFile_2007_3_5_9_4_7_89.sms" });
    QVERIFY(view.errors.isEmpty());

    // Once the move can be made, the file goes, exactly once.
    QVERIFY(QDir().mkpath(QFile::decodeName(missing)));
    tick();
    tick();
    QCOMPARE(engine->link().unansweredCount(), 1);
    QTRY_COMPARE(sentRecords().size(), 1);
    QCOMPARE(sentRecords().first().mid(67, 6), QByteArray("stuck\0", 6));
    QCOMPARE(backupFiles(missing), QStringList { QStringLiteral("SmsFile_2007_3_5_9_4_7_92.sms") });
    QVERIFY(outboxFiles().isEmpty());
    QCOMPARE(view.appended.size(), 1);
}

void TestTick::unreadableFilesPassedOver()
{
    logIn(Quiet);
    QVERIFY(writeMessage("bad.sms", "only\r\ntwo\r\n"));
    QVERIFY(writeMessage("good.ring", "5\r\n6\r\nfine\r\n"));
    QVERIFY(QDir().mkpath(QFile::decodeName(outPath("folder.lnol"))));

    tick();
    QCOMPARE(view.errors, QStringList { QStringLiteral("List index out of bounds (2)") });
    QCOMPARE(engine->link().unansweredCount(), 0);
    tick(); // the bad file no longer blocks the one behind it
    QCOMPARE(engine->link().unansweredCount(), 1);
    tick();
    QCOMPARE(view.errors.size(), 2);
    QCOMPARE(view.errors.last(), QStringLiteral("Cannot open file ") + QFile::decodeName(outPath("folder.lnol")));
    for (int i = 0; i < 3; ++i)
        tick();
    QCOMPARE(view.errors.size(), 2); // each reported once
    QCOMPARE(engine->link().unansweredCount(), 1);
    QCOMPARE(outboxFiles(), (QStringList { QStringLiteral("bad.sms"), QStringLiteral("folder.lnol") }));
    QVERIFY(view.appended.isEmpty());

    // Mended, it is tried again and goes.
    QVERIFY(writeMessage("bad.sms", "only\r\ntwo\r\nthree now\r\n"));
    clock.time = clock.time.addMSecs(1);
    tick();
    QCOMPARE(engine->link().unansweredCount(), 2);
    QTRY_COMPARE(sentRecords().size(), 2);
    QCOMPARE(sentRecords().at(0).at(36), 'M');
    QCOMPARE(sentRecords().at(1).mid(67, 10), QByteArray("three now\0", 10));
    QCOMPARE(view.errors.size(), 2);
}

void TestTick::fileStillBeingWritten()
{
    logIn();
    const QByteArray path = outPath("busy.sms");
    // Another process writes the whole message but keeps the file open.
    QProcess writer;
    writer.start(QStringLiteral("sh"),
        { QStringLiteral("-c"),
            QStringLiteral("exec 3>\"$1\"; printf '1\\r\\n2\\r\\nbusy\\r\\n' >&3; echo ready; "
                           "read _"),
            QStringLiteral("sh"), QFile::decodeName(path) });
    QVERIFY(writer.waitForStarted());
    QTRY_VERIFY(writer.canReadLine());
    QCOMPARE(writer.readLine(), QByteArray("ready\n"));

    tick();
    tick();
    QCOMPARE(engine->link().unansweredCount(), 0);
    QCOMPARE(outboxFiles(), QStringList { QStringLiteral("busy.sms") });
    QVERIFY(view.errors.isEmpty());
    QVERIFY(backupFiles(bakDir).isEmpty());

    writer.closeWriteChannel(); // the writer finishes and closes the file
    QVERIFY(writer.waitForFinished());
    tick();
    QCOMPARE(engine->link().unansweredCount(), 1);
    QTRY_COMPARE(sentRecords().size(), 1);
    QCOMPARE(sentRecords().first().mid(67, 5), QByteArray("busy\0", 5));
    QVERIFY(view.errors.isEmpty());
}

void TestTick::fileTakenByAnotherSender_data()
{
    QTest::addColumn<Outbox::Step>("step"); // where another sender takes the file the tick went for
    QTest::addColumn<bool>("walk");
    QTest::addColumn<int>("taken"); // files taken that way, one after the other
    QTest::newRow("before the read") << Outbox::Step::Found << false << 1;
    QTest::newRow("before the move") << Outbox::Step::Read << false << 2;
    QTest::newRow("before the read, walked") << Outbox::Step::Found << true << 1;
    QTest::newRow("before the move, walked") << Outbox::Step::Read << true << 2;
    QTest::newRow("at every attempt") << Outbox::Step::Read << false << PollingTick::TakeAttempts;
}

void TestTick::fileTakenByAnotherSender()
{
    QFETCH(Outbox::Step, step);
    QFETCH(bool, walk);
    QFETCH(int, taken);
    const QByteArray work = QFile::encodeName(tmp->path()) + '/';
    const QByteArray elsewhere = work + "other/";
    QVERIFY(QDir().mkpath(QFile::decodeName(elsewhere)));
    engine->start(work);
    engine->outbox().setFileSystemProbe([walk](const QByteArray&) { return walk; });
    logIn();
    const int files = PollingTick::TakeAttempts + 1;
    for (int i = 0; i < files; ++i)
        QVERIFY(writeMessage("m" + QByteArray::number(i) + ".sms", "1\r\n2\r\ntext " + QByteArray::number(i) + "\r\n"));
    int takes = 0;
    engine->outbox().setStepHook([&](Outbox::Step at, const QByteArray& name) {
        if (at == step && takes < taken && Fs::moveNoReplace(outPath(name), elsewhere + name) == Fs::Moved::Yes)
            ++takes;
    });

    // Taken files leave no line and no open journal entry; the next one in
    // line goes in the same tick, unless every attempt was lost.
    tick();
    QCOMPARE(takes, taken);
    const QByteArray backup = bakDir + "SmsFile_2007_3_5_9_4_7_89.sms";
    QByteArray journal; // a move that found its file gone is undone
    for (int i = 0; i < taken && step == Outbox::Step::Read; ++i)
        journal += "S " + backup + '\t' + outPath("m" + QByteArray::number(i) + ".sms") + "\nX " + backup + '\n';
    const bool sent = taken < PollingTick::TakeAttempts;
    if (sent)
        journal += "S " + backup + '\t' + outPath("m" + QByteArray::number(taken) + ".sms") + "\nM " + backup + '\n';
    QCOMPARE(journalText(work), journal);
    QCOMPARE(engine->inflight().openMessages(), sent ? 1 : 0);
    QCOMPARE(view.appended, sent ? QByteArrayList { "Found SMS File Ext = .sms" } : QByteArrayList {});
    QCOMPARE(outboxFiles().size(), files - taken - (sent ? 1 : 0));
    if (!sent) {
        clock.time = clock.time.addMSecs(1);
        tick();
    }
    QTRY_COMPARE(sentRecords().size(), 1);
    QCOMPARE(sentRecords().first().mid(67, 7), "text " + QByteArray::number(taken) + '\0');
    QCOMPARE(backupFiles(bakDir).size(), 1);
    QVERIFY(view.errors.isEmpty());
}

void TestTick::twoMovesInOneMillisecond_data()
{
    QTest::addColumn<bool>("journal");
    QTest::addColumn<bool>("answered"); // the first answered before the second tick
    QTest::newRow("first still in flight, journaled") << true << false;
    QTest::newRow("first answered, its backup there") << false << true;
    QTest::newRow("first answered, journaled") << true << true;
}

void TestTick::twoMovesInOneMillisecond()
{
    // A late tick is made up for at once by the timer, so two moves can fall
    // in one millisecond (the clock stands still here). Neither may fail.
    QFETCH(bool, journal);
    QFETCH(bool, answered);
    const QByteArray work = QFile::encodeName(tmp->path()) + '/';
    if (journal)
        engine->start(work);
    logIn(Quiet);
    for (const QByteArray name : { "a.sms", "b.sms", "c.sms" })
        QVERIFY(writeMessage(name, "1\r\n2\r\n" + name + "\r\n"));
    for (int i = 1; i <= 3; ++i) {
        tick();
        QVERIFY2(!view.appended.join('|').contains("Cannot move"), view.appended.join('|').constData());
        QTRY_COMPARE(sentRecords().size(), i);
        if (answered) {
            gw->send(FakeGateway::reply('0', "00000001"));
            QTRY_COMPARE(engine->link().unansweredCount(), 0);
        }
    }
    QVERIFY(view.errors.isEmpty());
    QVERIFY(outboxFiles().isEmpty());
    // Names in the order taken, one millisecond apart.
    QCOMPARE(backupFiles(bakDir),
        (QStringList { QStringLiteral("SmsFile_2007_3_5_9_4_7_89.sms"), QStringLiteral("SmsFile_2007_3_5_9_4_7_90.sms"),
            QStringLiteral("SmsFile_2007_3_5_9_4_7_91.sms") }));
    QCOMPARE(readRaw(QFile::decodeName(bakDir) + QStringLiteral("SmsFile_2007_3_5_9_4_7_91.sms")),
        QByteArray("1\r\n2\r\nc.sms\r\n"));
}

void TestTick::unansweredNamedWhenGatewayCloses()
{
    logIn(Quiet);
    QVERIFY(writeMessage("a.sms", "1\r\n2\r\nanswered\r\n"));
    tick();
    clock.time = clock.time.addMSecs(1);
    QVERIFY(writeMessage("b.sms", "1\r\n2\r\nlost\r\n"));
    tick();
    QTRY_COMPARE(sentRecords().size(), 2);
    const QByteArray firstBackup = bakDir + "SmsFile_2007_3_5_9_4_7_89.sms";
    const QByteArray secondBackup = bakDir + "SmsFile_2007_3_5_9_4_7_90.sms";
    // Which backup went first depends on the listing; the reply answers it.
    const bool answeredFirst = sentRecords().first().mid(67, 8) == "answered";
    gw->send(FakeGateway::reply('0', "00000001"));
    QTRY_COMPARE(engine->link().unansweredCount(), 1);
    gw->peer()->disconnectFromHost();
    QTRY_VERIFY(!engine->link().isConnected());
    QCOMPARE(view.appended.mid(2),
        (QByteArrayList { "Socket Disconnect", "No reply for " + (answeredFirst ? secondBackup : firstBackup) }));
    QVERIFY(!engine->tick().polling());
}

void TestTick::settingsChangeOnNextTick()
{
    logIn();
    QVERIFY(writeMessage("a.sms", "1\r\n2\r\nold\r\n"));
    tick();
    const QByteArray otherBak = QFile::encodeName(tmp->path()) + "/bak2/";
    QVERIFY(QDir().mkpath(QFile::decodeName(otherBak)));
    Settings s = settings.values();
    s.userName = "other";
    s.password = "pw";
    s.backupDir = otherBak;
    settings.replace(s);
    clock.time = clock.time.addSecs(3600);
    QVERIFY(writeMessage("b.sms", "1\r\n2\r\nnew\r\n"));
    tick();
    QTRY_COMPARE(sentRecords().size(), 2);
    QCOMPARE(sentRecords().at(0).left(10), QByteArray("user\0\0\0\0\0\0", 10));
    QCOMPARE(sentRecords().at(1).left(20), QByteArray("other\0\0\0\0\0pw\0\0\0\0\0\0\0\0", 20));
    QCOMPARE(backupFiles(bakDir), QStringList { QStringLiteral("SmsFile_2007_3_5_9_4_7_89.sms") });
    QCOMPARE(backupFiles(otherBak), QStringList { QStringLiteral("SmsFile_2007_3_5_10_4_7_89.sms") });
}

void TestTick::timerDrivesTicks()
{
    // A poll value under the floor that was never checked by leaving the
    // field is raised to it rather than letting the timer spin.
    options.pollInterval = OptionNumber::fromText("50");
    configure();
    QVERIFY(writeMessage("x.sms", "1\r\n2\r\ntimed\r\n"));
    QVERIFY(writeMessage("y.flh", "3\r\n4\r\nflash\r\n"));
    logIn();
    QCOMPARE(engine->tick().interval(), 200);
    QTRY_COMPARE(sentRecords().size(), 2);
    QCOMPARE(sentRecords().at(0).at(36), 'N');
    QCOMPARE(sentRecords().at(1).at(36), 'F');
    QVERIFY(outboxFiles().isEmpty());
    QVERIFY(view.activityToggles >= 2);
    QVERIFY(view.errors.isEmpty());
}

void TestTick::journalFollowsMessages()
{
    const QByteArray work = QFile::encodeName(tmp->path()) + '/';
    engine->start(work);
    logIn(Quiet);
    QVERIFY(writeMessage("a.sms", "1\r\n2\r\nanswered\r\n"));
    tick();
    const QByteArray a = bakDir + "SmsFile_2007_3_5_9_4_7_89.sms";
    // On the disk before the record left.
    QCOMPARE(journalText(work), "S " + a + '\t' + outPath("a.sms") + "\nM " + a + '\n');
    clock.time = clock.time.addMSecs(1);
    QVERIFY(writeMessage("b.sms", "1\r\n2\r\nsecond\r\n"));
    tick();
    const QByteArray b = bakDir + "SmsFile_2007_3_5_9_4_7_90.sms";
    QTRY_COMPARE(sentRecords().size(), 2);
    gw->send(FakeGateway::reply('0', "00000001"));
    QTRY_COMPARE(engine->inflight().openMessages(), 1);
    QVERIFY(journalText(work).endsWith("A " + a + '\n'));
    // Grown past its limit, it keeps only what is still open.
    engine->inflight().journal().setCompactSize(1);
    clock.time = clock.time.addMSecs(1);
    QVERIFY(writeMessage("c.sms", "1\r\n2\r\nlost\r\n"));
    tick();
    const QByteArray c = bakDir + "SmsFile_2007_3_5_9_4_7_91.sms";
    QTRY_COMPARE(sentRecords().size(), 3);
    gw->send(FakeGateway::reply('0', "00000001")); // answers b, the older
    QTRY_COMPARE(engine->inflight().openMessages(), 1);
    QCOMPARE(journalText(work), "S " + c + '\t' + outPath("c.sms") + "\nM " + c + '\n');
    gw->peer()->disconnectFromHost();
    QTRY_VERIFY(!engine->link().isConnected());
    QVERIFY(view.appended.contains("No reply for " + c));
    QCOMPARE(journalText(work), QByteArray()); // emptied: nothing open
    QCOMPARE(engine->inflight().openMessages(), 0);

    // A later start there has nothing left to name.
    QCOMPARE(nextStartLines(work), QByteArrayList {});
    QCOMPARE(journalText(work), QByteArray());
}

void TestTick::journalRecovery_data()
{
    QTest::addColumn<QByteArray>("journal"); // "%b" stands for the backup, "%o" for the outbox file
    QTest::addColumn<bool>("inOutbox");
    QTest::addColumn<QByteArray>("inBackup"); // "" none, "same" or "other" content, ".part" a cut copy
    QTest::addColumn<bool>("named");
    QTest::addColumn<bool>("outboxAfter");
    QTest::addColumn<bool>("backupAfter");
    QTest::newRow("sent, never answered")
        << QByteArray("S %b\t%o\nM %b\n") << false << QByteArray("same") << true << false << true;
    QTest::newRow("answered") << QByteArray("S %b\t%o\nM %b\nA %b\n") << false << QByteArray("same") << false << false
                              << true;
    QTest::newRow("move failed") << QByteArray("S %b\t%o\nX %b\n") << true << QByteArray() << false << true << false;
    // Killed in the middle of a move across file systems.
    QTest::newRow("copy cut short") << QByteArray("S %b\t%o\n") << true << QByteArray(".part") << false << true
                                    << false;
    QTest::newRow("linked, not removed") << QByteArray("S %b\t%o\n") << true << QByteArray("same") << false << true
                                         << false;
    QTest::newRow("moved, mark lost") << QByteArray("S %b\t%o\n") << false << QByteArray("same") << true << false
                                      << true;
    QTest::newRow("outbox file written again")
        << QByteArray("S %b\t%o\nM %b\n") << true << QByteArray("same") << true << true << true;
}

void TestTick::journalRecovery()
{
    QFETCH(QByteArray, journal);
    QFETCH(bool, inOutbox);
    QFETCH(QByteArray, inBackup);
    QFETCH(bool, named);
    QFETCH(bool, outboxAfter);
    QFETCH(bool, backupAfter);
    const QByteArray work = QFile::encodeName(tmp->path()) + '/';
    const QByteArray backup = bakDir + "SmsFile_1.sms";
    const QByteArray message = "1\r\n2\r\nx\r\n";
    if (inOutbox)
        QVERIFY(writeMessage("a.sms", message));
    if (!inBackup.isEmpty())
        QVERIFY(Fs::writeFile(inBackup == ".part" ? Fs::partialName(backup) : backup, message));
    QVERIFY(Fs::writeFile(work + SendJournal::FileName, journal.replace("%b", backup).replace("%o", outPath("a.sms"))));
    QList<MessageFate> fates;
    QObject::connect(
        &engine->link(), &GatewayLink::messageSettled, &engine->link(), [&](const MessageFate& f) { fates.append(f); });

    engine->start(work);
    QCOMPARE(view.appended, named ? QByteArrayList { "No reply for " + backup } : QByteArrayList {});
    QCOMPARE(fates.size(), named ? 1 : 0);
    if (named) {
        QCOMPARE(fates[0].outcome, MessageFate::Unanswered);
        QCOMPARE(fates[0].outboxName, QByteArray("a.sms"));
    }
    QCOMPARE(outboxFiles().size(), outboxAfter ? 1 : 0);
    QCOMPARE(backupFiles(bakDir).size(), backupAfter ? 1 : 0);
    QVERIFY(!Fs::exists(Fs::partialName(backup)));
    QCOMPARE(journalText(work), QByteArray());

    // Named at one start only.
    QCOMPARE(nextStartLines(work), QByteArrayList {});
}

void TestTick::journalNotWritable()
{
    const QByteArray work = QFile::encodeName(tmp->path()) + '/';
    // Damaged: reported, set aside (kept), not trusted, and a fresh one used.
    QVERIFY(Fs::writeFile(work + SendJournal::FileName, "S half a line"));
    QVERIFY(errorOf([&] { engine->start(work); }).contains(QLatin1String("was damaged; it was set aside as")));
    QVERIFY(view.appended.isEmpty());
    // Named by the engine's clock.
    const QStringList aside = QDir(tmp->path()).entryList({ QStringLiteral("SmsSender.journal.damaged_*") });
    QCOMPARE(aside, QStringList { QStringLiteral("SmsSender.journal.damaged_2007_3_5_9_4_7_89") });
    QCOMPARE(readRaw(tmp->path() + QLatin1Char('/') + aside[0]), QByteArray("S half a line"));
    QCOMPARE(journalText(work), QByteArray());

    // Cannot be written at all: every tick says so, nothing leaves.
    const QByteArray missing = work + "missing/";
    QVERIFY(errorOf([&] { engine->start(missing); }).startsWith(QLatin1String("Cannot write the send journal")));
    logIn();
    QVERIFY(writeMessage("a.sms", "1\r\n2\r\nkept\r\n"));
    tick();
    tick();
    QCOMPARE(view.errors,
        QStringList(2,
            QStringLiteral("Cannot write the send journal %1")
                .arg(QString::fromLocal8Bit(missing + SendJournal::FileName))));
    QCOMPARE(outboxFiles(), QStringList { QStringLiteral("a.sms") });
    QCOMPARE(engine->link().unansweredCount(), 0);
}

void TestTick::unansweredRecordsBounded_data()
{
    QTest::addColumn<int>("limit");
    QTest::newRow("default") << int(EngineOptions::DefaultMaxUnanswered);
    QTest::newRow("one at a time") << 1;
}

void TestTick::unansweredRecordsBounded()
{
    QFETCH(int, limit);
    options.maxUnanswered = limit;
    configure();
    logIn();
    for (int i = 0; i < 10; ++i)
        QVERIFY(writeMessage(QByteArray::number(i) + ".sms", "1\r\n2\r\ntext\r\n"));
    for (int i = 0; i < 10; ++i) {
        clock.time = clock.time.addMSecs(1);
        tick();
    }
    QTRY_COMPARE(sentRecords().size(), limit);
    QCOMPARE(outboxFiles().size(), 10 - limit);
    // A full tick takes nothing and says nothing.
    QCOMPARE(view.appended.count("Found SMS File Ext = .sms"), limit);
    QCOMPARE(view.appended.size(), limit);

    // One answer makes room for one more.
    gw->send(FakeGateway::reply('0', "00000001"));
    QTRY_COMPARE(engine->link().unansweredCount(), limit - 1);
    tick();
    tick();
    QTRY_COMPARE(sentRecords().size(), limit + 1);
    QCOMPARE(outboxFiles().size(), 9 - limit);
}

void TestTick::silentGatewayEndsLink_data()
{
    QTest::addColumn<bool>("logInAnswered");
    QTest::addColumn<int>("messages");
    QTest::newRow("log-in never answered") << false << 0;
    QTest::newRow("messages never answered") << true << 3;
}

void TestTick::silentGatewayEndsLink()
{
    QFETCH(bool, logInAnswered);
    QFETCH(int, messages);
    options.answerTimeout = std::chrono::seconds(1);
    configure();
    QList<CloseReason> closes;
    connect(&engine->link(), &GatewayLink::closed, this, [&](CloseReason r) { closes.append(r); });
    QList<MessageFate> fates;
    connect(&engine->inflight(), &InFlight::messageSettled, this, [&](const MessageFate& f) { fates.append(f); });
    QByteArrayList named;
    if (logInAnswered) {
        logIn();
        options.logFoundFiles = false;
        configure();
        for (int i = 0; i < messages; ++i) {
            clock.time = clock.time.addMSecs(1);
            QVERIFY(writeMessage(QByteArray::number(i) + ".sms", "1\r\n2\r\ntext\r\n"));
            tick();
            named.append("No reply for " + bakDir + "SmsFile_2007_3_5_9_4_7_" + QByteArray::number(90 + i) + ".sms");
        }
    } else {
        engine->link().start();
    }
    QTRY_VERIFY_WITH_TIMEOUT(!closes.isEmpty(), 20000);
    QCOMPARE(closes, QList<CloseReason> { CloseReason::AnswerTimeout });
    const QByteArrayList expected = QByteArrayList { "No answer from the gateway in 1 s", "Socket Disconnect" } + named;
    QCOMPARE(view.appended.mid(view.appended.indexOf("No answer from the gateway in 1 s")), expected);
    QCOMPARE(qsizetype(fates.size()), qsizetype(messages));
    for (const MessageFate& f : std::as_const(fates))
        QCOMPARE(f.outcome, MessageFate::Unanswered);
    QVERIFY(!engine->link().isConnected());
    QCOMPARE(engine->link().state(), LinkState::Disconnected);
    QVERIFY(!view.green && view.startEnabled && !view.stopEnabled);
    QVERIFY(!engine->tick().polling());
    QTRY_COMPARE(gw->disconnects, 1);
}

void TestTick::compactionKeepsSendOrder()
{
    const QByteArray work = QFile::encodeName(tmp->path()) + '/';
    engine->start(work);
    engine->inflight().journal().setCompactSize(1);
    logIn(Quiet);
    QByteArray open;
    for (int i = 0; i < 6; ++i) {
        clock.time = clock.time.addMSecs(1);
        const QByteArray name = QByteArray::number(i) + ".sms";
        QVERIFY(writeMessage(name, "1\r\n2\r\ntext\r\n"));
        tick();
        const QByteArray backup = bakDir + "SmsFile_2007_3_5_9_4_7_" + QByteArray::number(90 + i) + ".sms";
        if (i > 0)
            open += "S " + backup + '\t' + outPath(name) + "\nM " + backup + '\n';
    }
    QTRY_COMPARE(sentRecords().size(), 6);
    gw->send(FakeGateway::reply('0', "00000001"));
    QTRY_COMPARE(engine->inflight().openMessages(), 5);
    QCOMPARE(journalText(work), open);
}

QTEST_GUILESS_MAIN(TestTick)
#include "tst_tick.moc"
