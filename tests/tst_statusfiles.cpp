#include "enginefixture.h"
#include "enginelog.h"
#include "fsutil.h"
#include "ledger.h"
#include "logfield.h"
#include "statusfiles.h"
#include "testsupport.h"

#include <QFileInfo>
#include <QSignalSpy>
#include <QTest>

// The status file, the ledger of fates and the metrics text, fed through
// their plain calls; and the outbox counts they are put together from.
class TestStatusFiles : public QObject, public EngineFixture
{
    Q_OBJECT
private Q_SLOTS:
    void init() { QVERIFY(setUp()); }
    void cleanup() { tearDown(); }
    void jsonRoundTrip();
    void logFieldEscaping_data();
    void logFieldEscaping();
    void statusFollowsChangesAtMostOnceASecond();
    void ledgerLinesAndRotation();
    void journalRecoveryReachesTheLedger();
    void failuresAreSaidOnce();
    void metricsText();
    void queueCounts_data();
    void queueCounts();

private:
    QByteArray workDir() const { return QFile::encodeName(tmp->path()) + '/'; }
    std::optional<SenderStatus> readStatus() const
    {
        QString error;
        return SenderStatus::fromJson(readRaw(QFile::decodeName(workDir() + SenderStatus::FileName)), &error);
    }
    FixedClock clock;
    // What the engine's status would say, for the files on their own.
    EngineStatus shown;
    StatusFiles::Source source()
    {
        return [this]() -> const EngineStatus& { return shown; };
    }
};

void TestStatusFiles::jsonRoundTrip()
{
    SenderStatus s;
    s.program = QStringLiteral("marlek-smsd");
    s.version = QStringLiteral("2.1.0");
    s.pid = 4321;
    s.link = SenderStatus::Link::LoggedIn;
    s.since = QDateTime(QDate(2007, 3, 5), QTime(9, 4, 7));
    s.gateway = QStringLiteral("127.0.0.1:4000");
    s.counter = "00000025";
    s.info = "Quote \" back\\slash\ttab\r\nnew line \xe9";
    s.queued = std::array<qint64, 4> { 3, 0, 0, 1 };
    s.oldestQueuedSeconds = 12;
    s.unanswered = 2;
    s.totals = { 5, 1, 0 };
    s.last[0] = s.since.addSecs(60);
    s.written = s.since.addSecs(61);
    const QByteArray json = s.toJson();
    QVERIFY2(json.contains("\"queued\": {\"sms\": 3, \"ring\": 0, \"lnol\": 0, \"flh\": 1}"), json.constData());
    QVERIFY(json.contains("\"unanswered\": null"));
    // Keys in the order a person reads them.
    QVERIFY(json.indexOf("\"program\"") < json.indexOf("\"link\"")
        && json.indexOf("\"link\"") < json.indexOf("\"written\""));
    QString error;
    const std::optional<SenderStatus> back = SenderStatus::fromJson(json, &error);
    QVERIFY2(back, qPrintable(error));
    QCOMPARE(back->info, s.info);
    QCOMPARE(back->queued, s.queued);
    QCOMPARE(back->totals, s.totals);
    QCOMPARE(back->last[0], s.last[0]);
    QVERIFY(!back->last[1].isValid());
    QCOMPARE(back->since, s.since);
    QCOMPARE(back->link, s.link);
    QVERIFY(!SenderStatus::fromJson("{\"link\": \"up\"}", &error));
}

void TestStatusFiles::logFieldEscaping_data()
{
    QTest::addColumn<QByteArray>("field");
    QTest::addColumn<QByteArray>("escaped");
    QTest::newRow("plain") << QByteArray("a.sms") << QByteArray("a.sms");
    QTest::newRow("every escape") << QByteArray("a\tb\rc\nd\\e\0f", 11) << QByteArray("a\\tb\\rc\\nd\\\\e\\0f");
    QTest::newRow("bytes above 127") << QByteArray("jos\xc3\xa9") << QByteArray("jos\xc3\xa9");
    QTest::newRow("backslash before a letter") << QByteArray("\\x") << QByteArray("\\\\x");
}

void TestStatusFiles::logFieldEscaping()
{
    QFETCH(QByteArray, field);
    QFETCH(QByteArray, escaped);
    QCOMPARE(escapeLogField(field), escaped);
    QCOMPARE(unescapeLogField(escaped), field);
}

void TestStatusFiles::statusFollowsChangesAtMostOnceASecond()
{
    EngineLog log(options, view, clock);
    view.watch(log);
    StatusFiles files(source(), log, clock);
    files.setProgram(QStringLiteral("tst"), QStringLiteral("1"), 77);
    files.open(workDir());
    const QString path = QFile::decodeName(workDir() + SenderStatus::FileName);
    QTRY_VERIFY(QFileInfo::exists(path));
    const QFile::Permissions all = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
        | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
    QCOMPARE(QFileInfo(path).permissions() & all, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
    QCOMPARE(readStatus()->link, SenderStatus::Link::Disconnected);

    // A burst of changes: the file follows the last one, and is not
    // rewritten for each.
    QElapsedTimer elapsed;
    elapsed.start();
    const int before = files.statusWrites();
    const QList<LinkState> states { LinkState::Connecting, LinkState::LoggedIn, LinkState::Disconnected,
        LinkState::Connecting, LinkState::LoggedIn };
    for (const LinkState state : states) {
        shown.link = state;
        shown.counter = "0000000" + QByteArray::number(int(state));
        files.noteChanged(EngineStatus::Link | EngineStatus::Counter);
        QTest::qWait(50);
    }
    QTRY_COMPARE(readStatus()->link, SenderStatus::Link::LoggedIn);
    QCOMPARE(readStatus()->counter, QByteArray("00000002"));
    QCOMPARE(readStatus()->pid, qint64(77));
    const int writes = files.statusWrites() - before;
    QVERIFY2(writes <= 1 + elapsed.elapsed() / 1000, qPrintable(QString::number(writes)));
    QVERIFY(view.errors.isEmpty());
    // Nothing is written before open().
    StatusFiles closed(source(), log, clock);
    closed.noteChanged(EngineStatus::Link);
    QTest::qWait(20);
    QCOMPARE(closed.statusWrites(), 0);
}

void TestStatusFiles::ledgerLinesAndRotation()
{
    EngineLog log(options, view, clock);
    view.watch(log);
    StatusFiles files(source(), log, clock);
    files.open(workDir());
    const MessageFate accepted { MessageFate::Accepted, "bak/SmsFile_1.sms", "a\tb.sms", '0', "00000009" };
    const MessageFate unanswered { MessageFate::Unanswered, "bak/SmsFile_2.flh", "back\\slash\n.flh", 0, "" };
    files.noteSettled(accepted);
    files.noteSettled(unanswered);
    const QByteArray text = readRaw(QFile::decodeName(files.ledgerPath()));
    const QList<QByteArray> lines = text.split('\n');
    QCOMPARE(lines.size(), 3);
    QCOMPARE(
        lines[0].split('\t').mid(1), QByteArrayList({ "accepted", "a\\tb.sms", "bak/SmsFile_1.sms", "0", "00000009" }));
    QVERIFY2(lines[0].startsWith("2007-03-05T09:04:07.089"), lines[0].constData());
    QCOMPARE(Ledger::parse(lines[1])->outboxName, unanswered.outboxName);
    QCOMPARE(Ledger::parse(lines[1])->result, QByteArray());

    // Past 10 MB the ledger is set aside under a time stamp and begun anew.
    files.finish();
    QVERIFY(Fs::writeFile(files.ledgerPath(), QByteArray(Ledger::RotateSize - 10, 'x')));
    StatusFiles next(source(), log, clock);
    next.open(workDir());
    next.noteSettled(accepted);
    QCOMPARE(
        readRaw(QFile::decodeName(workDir() + "SmsSender_2007_3_5_9_4_7_89.results")).size(), Ledger::RotateSize - 10);
    QCOMPARE(readRaw(QFile::decodeName(next.ledgerPath())).count('\n'), 1);
    QCOMPARE(Ledger::files(workDir()).size(), 2);
}

void TestStatusFiles::journalRecoveryReachesTheLedger()
{
    // A run that died with one message sent and unanswered.
    QVERIFY(writeMessage("gone.sms", "1\r\n2\r\n3\r\n"));
    QVERIFY(Fs::writeFile(bakDir + "SmsFile_9.sms", "1\r\n2\r\n3\r\n"));
    QVERIFY(Fs::removeFile(outPath("gone.sms")));
    QVERIFY(Fs::writeFile(workDir() + "SmsSender.journal",
        "S " + bakDir + "SmsFile_9.sms\t" + outPath("gone.sms") + "\nM " + bakDir + "SmsFile_9.sms\n"));
    startEngine("1", "ABCDEFGHIJKLMNOP", clock);
    engine->start(workDir());
    const QByteArray ledger = readRaw(QFile::decodeName(workDir() + Ledger::FileName));
    const std::optional<Ledger::Line> line = Ledger::parse(ledger.chopped(1)); // empty fields at the end
    QVERIFY2(line, (ledger + view.appended.join('|')).constData());
    QCOMPARE(line->outcome, Ledger::Outcome::Unanswered);
    QCOMPARE(line->backupPath, bakDir + "SmsFile_9.sms");
    QCOMPARE(line->outboxName, QByteArray("gone.sms"));
}

void TestStatusFiles::failuresAreSaidOnce()
{
    EngineLog log(options, view, clock);
    view.watch(log);
    StatusFiles files(source(), log, clock);
    const QByteArray missing = workDir() + "missing/";
    files.open(missing);
    files.setMetricsFile(missing + "m.prom");
    const MessageFate fate { MessageFate::Refused, "b/1.sms", "1.sms", '1', "00000001" };
    files.noteSettled(fate);
    files.noteSettled(fate);
    files.finish();
    files.finish();
    // Each once, whenever the writer's thread found out.
    QByteArrayList said = view.appended;
    std::sort(said.begin(), said.end());
    QCOMPARE(said,
        QByteArrayList({ "Cannot write the ledger " + missing + "SmsSender.results",
            "Cannot write the metrics file " + missing + "m.prom",
            "Cannot write the status file " + missing + "SmsSender.status" }));
}

void TestStatusFiles::metricsText()
{
    SenderStatus s;
    s.link = SenderStatus::Link::LoggedIn;
    s.counter = "00000025";
    s.totals = { 7, 2, 1 };
    s.last[0] = QDateTime::fromSecsSinceEpoch(1700000000);
    s.queued = std::array<qint64, 4> { 3, 0, 0, 1 };
    s.oldestQueuedSeconds = 40;
    s.logins = 4;
    s.connectionsLost = 3;
    s.answerTimeouts = 1;
    const QByteArray text = StatusFiles::metricsText(s);
    for (const QByteArray& expected : QByteArrayList {
             "# TYPE marlek_sms_messages_total counter\n",
             "marlek_sms_messages_total{outcome=\"accepted\"} 7\n",
             "marlek_sms_messages_total{outcome=\"unanswered\"} 1\n",
             "marlek_sms_logins_total 4\n",
             "marlek_sms_connections_lost_total 3\n",
             "marlek_sms_answer_timeouts_total 1\n",
             "# TYPE marlek_sms_link_up gauge\nmarlek_sms_link_up 1\n",
             "marlek_sms_gateway_counter 25\n",
             "marlek_sms_queued_files{kind=\"flh\"} 1\n",
             "marlek_sms_oldest_queued_seconds 40\n",
             "marlek_sms_last_accepted_timestamp_seconds 1700000000\n",
         })
        QVERIFY2(text.contains(expected), expected.constData());
    // Every line a comment or a sample; a counter that is no number has none.
    s.counter = "n/a";
    s.queued.reset();
    const QByteArray unknown = StatusFiles::metricsText(s);
    QVERIFY(!unknown.contains("\nmarlek_sms_gateway_counter ") && !unknown.contains("\nmarlek_sms_queued_files{"));
    for (const QByteArray& line : unknown.trimmed().split('\n'))
        QVERIFY2(line.startsWith("# HELP marlek_sms_") || line.startsWith("# TYPE marlek_sms_")
                || line.startsWith("marlek_sms_"),
            line.constData());
}

void TestStatusFiles::queueCounts_data()
{
    QTest::addColumn<bool>("network");
    QTest::newRow("followed by the index") << false;
    QTest::newRow("walked (network file system)") << true;
}

void TestStatusFiles::queueCounts()
{
    QFETCH(bool, network);
    for (const char* name : { "a.sms", "b.sms", "c.flh", "d.SMS", "e.ring.part" })
        QVERIFY(writeMessage(name, "1\r\n2\r\n3\r\n"));
    Outbox outbox;
    outbox.setFileSystemProbe([network](const QByteArray&) { return network; });
    int told = 0;
    outbox.setQueueListener([&told] { ++told; });
    std::optional<Outbox::Queue> queue;
    QTRY_VERIFY((queue = outbox.queue(outDir)).has_value());
    QCOMPARE(queue->counts, (std::array<qint64, 4> { 2, 0, 0, 1 }));
    if (network) {
        QVERIFY(!queue->oldestQueued); // not known where the directory is walked
        return;
    }
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    QVERIFY(queue->oldestQueued && *queue->oldestQueued <= now && *queue->oldestQueued > now - 600);
    // The index follows new files and tells of them.
    told = 0;
    QVERIFY(writeMessage("f.lnol", "1\r\n2\r\n3\r\n"));
    QTRY_VERIFY(told > 0);
    QTRY_COMPARE(outbox.queue(outDir)->counts, (std::array<qint64, 4> { 2, 0, 1, 1 }));
    for (const char* name : { "a.sms", "b.sms", "c.flh", "f.lnol" })
        QVERIFY(Fs::removeFile(outPath(name)));
    QTRY_COMPARE(outbox.queue(outDir)->counts, (std::array<qint64, 4> {}));
    QVERIFY(!outbox.queue(outDir)->oldestQueued);
}

QTEST_GUILESS_MAIN(TestStatusFiles)
#include "tst_statusfiles.moc"
