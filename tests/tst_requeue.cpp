#include "fsutil.h"
#include "ledger.h"
#include "ledgerreader.h"
#include "requeue.h"
#include "testsupport.h"

#include <QTemporaryDir>
#include <QTest>

// The ledger read from its end and onwards, and the rule by which a message
// goes back into the outbox.
class TestRequeue : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void backwardAcrossFiles_data();
    void backwardAcrossFiles();
    void forwardFollowsRotation();
    void rule_data();
    void rule();

private:
    QByteArray dir() const { return QFile::encodeName(m_tmp->path()) + '/'; }
    static QByteArray numbered(int from, int to)
    {
        QByteArray text;
        for (int i = from; i <= to; ++i)
            text += "line " + QByteArray::number(i) + '\n';
        return text;
    }
    std::unique_ptr<QTemporaryDir> m_tmp;
};

void TestRequeue::init()
{
    m_tmp = std::make_unique<QTemporaryDir>();
    QVERIFY(m_tmp->isValid());
}

void TestRequeue::backwardAcrossFiles_data()
{
    QTest::addColumn<qint64>("chunk");
    QTest::newRow("a byte at a time") << qint64(1);
    QTest::newRow("chunks inside lines") << qint64(7);
    QTest::newRow("whole files") << qint64(64 * 1024);
}

void TestRequeue::backwardAcrossFiles()
{
    QFETCH(qint64, chunk);
    // Rotated files sort by their stamps' numbers (10 after 9); the older
    // one ends without a break; the current one is being appended to.
    QVERIFY(Fs::writeFile(dir() + Ledger::rotatedName("2007_9_30_1_1_1_1"), numbered(1, 30).chopped(1)));
    QVERIFY(Fs::writeFile(dir() + Ledger::rotatedName("2007_10_1_1_1_1_1"), numbered(31, 60) + "\n"));
    QVERIFY(Fs::writeFile(dir() + Ledger::FileName, numbered(61, 90) + "line 9"));

    Ledger::BackwardReader reader(dir());
    QCOMPARE(reader.currentEnd(), numbered(61, 90).size());
    QList<QByteArray> lines;
    int calls = 0;
    while (reader.readOlder(&lines, chunk))
        ++calls;
    QVERIFY(reader.atBeginning());
    QCOMPARE(lines.size(), 90);
    for (int i = 0; i < 90; ++i)
        QCOMPARE(lines[i], "line " + QByteArray::number(90 - i));
    QVERIFY(calls > 1);
}

void TestRequeue::forwardFollowsRotation()
{
    const QByteArray current = dir() + Ledger::FileName;
    // No ledger yet: it is taken up once it appears.
    Ledger::ForwardReader reader(dir(), 0);
    QList<QByteArray> lines;
    reader.readAppended(&lines);
    QVERIFY(lines.isEmpty());
    QVERIFY(Fs::writeFile(current, numbered(1, 3) + "line"));
    reader.readAppended(&lines);
    QCOMPARE(lines, (QList<QByteArray> { "line 1", "line 2", "line 3" }));
    // The half line comes whole; then the file is rotated with a last line
    // written just before, which must not be lost.
    Fs::AppendFile file;
    QVERIFY(file.open(current));
    QVERIFY(file.append(" 4\nline 5\n", false));
    file.close();
    QVERIFY(
        QFile::rename(QFile::decodeName(current), QFile::decodeName(dir() + Ledger::rotatedName("2007_3_5_9_4_7_89"))));
    QVERIFY(Fs::writeFile(current, numbered(6, 6)));
    lines.clear();
    reader.readAppended(&lines);
    QCOMPARE(lines, (QList<QByteArray> { "line 4", "line 5", "line 6" }));
}

void TestRequeue::rule_data()
{
    QTest::addColumn<QByteArrayList>("fates"); // outcomes, oldest first
    QTest::addColumn<QByteArray>("given");
    QTest::addColumn<int>("code");
    const QByteArray backup = "bak/SmsFile_2007_3_5_9_4_7_89.sms";
    QTest::newRow("refused") << QByteArrayList { "refused" } << backup << int(Requeue::Result::Queued);
    QTest::newRow("by its name alone") << QByteArrayList { "refused" } << backup.mid(4) << int(Requeue::Result::Queued);
    QTest::newRow("refused, then accepted")
        << QByteArrayList { "refused", "accepted" } << backup << int(Requeue::Result::LeftAlone);
    QTest::newRow("unanswered") << QByteArrayList { "unanswered" } << backup << int(Requeue::Result::LeftAlone);
    QTest::newRow("no fate yet") << QByteArrayList {} << backup << int(Requeue::Result::LeftAlone);
    QTest::newRow("no backup file") << QByteArrayList { "refused" } << QByteArray("bak/gone.sms")
                                    << int(Requeue::Result::Unreadable);
    QTest::newRow("not a message") << QByteArrayList { "refused" } << QByteArray("bak/notes.txt")
                                   << int(Requeue::Result::NotAMessage);
}

void TestRequeue::rule()
{
    QFETCH(QByteArrayList, fates);
    QFETCH(QByteArray, given);
    QFETCH(int, code);
    QVERIFY(QDir(m_tmp->path()).mkpath(QStringLiteral("bak")));
    QVERIFY(QDir(m_tmp->path()).mkpath(QStringLiteral("out")));
    const QByteArray message = "333\r\nme\r\nhello\r\n";
    QVERIFY(Fs::writeFile(dir() + "bak/SmsFile_2007_3_5_9_4_7_89.sms", message));
    QVERIFY(Fs::writeFile(dir() + "bak/notes.txt", message));
    QByteArray ledger;
    for (const QByteArray& outcome : fates)
        ledger += Ledger::format({ "2007-03-05T09:04:08+01:00", *Ledger::outcomeByName(outcome), "a.sms",
            "bak/" + given.mid(given.lastIndexOf('/') + 1), "1", "" });
    QVERIFY(Fs::writeFile(dir() + Ledger::FileName, ledger));

    Requeue::Names names(42);
    const Requeue::Result result = Requeue::requeue(dir(), dir() + "out/", given, false, names);
    QCOMPARE(int(result.code), code);
    const QStringList outbox = QDir(m_tmp->filePath(QStringLiteral("out"))).entryList(QDir::Files | QDir::Hidden);
    if (code != Requeue::Result::Queued) {
        QVERIFY(!result.text.isEmpty());
        QVERIFY(outbox.isEmpty());
        return;
    }
    QVERIFY(result.name.endsWith("_42_0001.sms"));
    QCOMPARE(outbox, QStringList { QString::fromLatin1(result.name) });
    QCOMPARE(readRaw(m_tmp->filePath(QStringLiteral("out/")) + outbox.constFirst()), message);
    // Forced, a message the gateway may have is put back all the same.
    if (fates.size() == 1)
        QCOMPARE(int(Requeue::requeue(dir(), dir() + "out/", given, true, names).code), int(Requeue::Result::Queued));
}

QTEST_GUILESS_MAIN(TestRequeue)
#include "tst_requeue.moc"
