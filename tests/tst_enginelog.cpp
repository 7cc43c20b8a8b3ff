#include "enginelog.h"
#include "recordingview.h"
#include "smserror.h"

#include "testsupport.h"
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestEngineLog : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void startLine();
    void savesPastTheLimit();
    void emptiesWithoutSave();
    void invalidLimit();
    void uncreatableFile();
    void sameMillisecond();
    void operatorEdits();

private:
    QStringList logFiles() const
    {
        return QDir(m_tmp->path()).entryList({ QStringLiteral("*") }, QDir::Files, QDir::Name);
    }

    QScopedPointer<QTemporaryDir> m_tmp;
    QByteArray m_dir; // with its trailing separator
    RecordingView m_view;
    FixedClock m_clock;
};

void TestEngineLog::init()
{
    m_tmp.reset(new QTemporaryDir);
    QVERIFY(m_tmp->isValid());
    m_dir = QFile::encodeName(m_tmp->path()) + '/';
    m_view = RecordingView();
    m_clock = FixedClock();
}

void TestEngineLog::startLine()
{
    EngineLog log(m_view, m_clock);
    QCOMPARE(log.lines(), QList<QByteArray> { "Log messages..." });
    QCOMPARE(QByteArray(EngineLog::StartLine), QByteArray("Log messages..."));
    log.appendLine("Connected");
    log.appendLine("Messages To Send = : \xe9");
    QCOMPARE(log.lines(), (QList<QByteArray> { "Log messages...", "Connected", "Messages To Send = : \xe9" }));
    QCOMPARE(m_view.appended, (QByteArrayList { "Connected", "Messages To Send = : \xe9" }));
    QCOMPARE(m_view.clears, 0);
}

void TestEngineLog::savesPastTheLimit()
{
    m_view.lineLimit = "1000";
    m_view.saveLog = true;
    EngineLog log(m_view, m_clock);
    log.setDirectory(m_dir);

    QList<QByteArray> expected { "Log messages..." };
    // The limit itself is allowed: 999 appends plus the start line.
    for (int i = 1; i < 1000; ++i) {
        const QByteArray line = "Transaction Success... " + QByteArray::number(i);
        expected.append(line);
        log.appendLine(line);
    }
    QCOMPARE(log.lines().size(), 1000);
    QCOMPARE(m_view.clears, 0);
    QVERIFY(logFiles().isEmpty());

    // The 1001st line goes over: all 1001 lines are saved, the log is emptied.
    expected.append("Messages To Send = : 00000012");
    log.appendLine("Messages To Send = : 00000012");
    QVERIFY(log.lines().isEmpty());
    QCOMPARE(m_view.clears, 1);
    QCOMPARE(logFiles(), QStringList { QStringLiteral("SmsSender_2007_3_5_9_4_7_89.log") });
    QCOMPARE(log.lastFile(), m_dir + "SmsSender_2007_3_5_9_4_7_89.log");
    const QByteArray text = readRaw(m_tmp->filePath(QStringLiteral("SmsSender_2007_3_5_9_4_7_89.log")));
    QCOMPARE(text.count("\r\n"), 1001);
    QVERIFY(text.endsWith("Messages To Send = : 00000012\r\n"));
    QVERIFY(text.startsWith("Log messages...\r\nTransaction Success... 1\r\n"));
    QCOMPARE(text, expected.join("\r\n") + "\r\n");
    QCOMPARE(m_view.appended.size(), 1000);

    // Emptied, the log starts counting again from nothing.
    log.appendLine("Socket Disconnect");
    QCOMPARE(log.lines(), QList<QByteArray> { "Socket Disconnect" });
    QCOMPARE(logFiles().size(), 1);
}

void TestEngineLog::emptiesWithoutSave()
{
    m_view.lineLimit = "3";
    m_view.saveLog = false;
    EngineLog log(m_view, m_clock);
    log.setDirectory(m_dir);
    log.appendLine("one");
    log.appendLine("two");
    QCOMPARE(log.lines().size(), 3);
    QCOMPARE(m_view.clears, 0);
    log.appendLine("three"); // four lines with the start line
    QVERIFY(log.lines().isEmpty());
    QCOMPARE(m_view.clears, 1);
    QVERIFY(logFiles().isEmpty());
    QVERIFY(log.lastFile().isEmpty());

    // The limit is read afresh on every change.
    m_view.lineLimit = "  1";
    log.appendLine("a");
    QCOMPARE(m_view.clears, 1);
    log.appendLine("b");
    QCOMPARE(m_view.clears, 2);
    m_view.lineLimit = "0";
    log.appendLine("c");
    QCOMPARE(m_view.clears, 3);
    QVERIFY(logFiles().isEmpty());
}

void TestEngineLog::invalidLimit()
{
    m_view.lineLimit = "abc";
    m_view.saveLog = true;
    EngineLog log(m_view, m_clock);
    log.setDirectory(m_dir);
    QCOMPARE(errorOf([&] { log.appendLine("Connected"); }), QStringLiteral("'abc' is not a valid integer value"));
    QCOMPARE(log.lines(), (QList<QByteArray> { "Log messages...", "Connected" }));
    QCOMPARE(m_view.appended, QByteArrayList { "Connected" });
    // Every change fails the same way, and the log keeps growing.
    m_view.lineLimit = "";
    QCOMPARE(errorOf([&] { log.appendLine("Socket Error"); }), QStringLiteral("'' is not a valid integer value"));
    QCOMPARE(log.lines().size(), 3);
    QCOMPARE(m_view.clears, 0);
    QVERIFY(logFiles().isEmpty());

    // Once the field is fixed, the next change rotates everything kept.
    m_view.lineLimit = "2";
    log.appendLine("Socket Disconnect");
    QVERIFY(log.lines().isEmpty());
    QCOMPARE(readRaw(QFile::decodeName(log.lastFile())),
        QByteArray("Log messages...\r\nConnected\r\nSocket Error\r\nSocket Disconnect\r\n"));
}

void TestEngineLog::uncreatableFile()
{
    m_view.lineLimit = "1";
    m_view.saveLog = true;
    EngineLog log(m_view, m_clock);
    // Below a plain file no directory can exist, whoever runs the test.
    QFile plain(m_tmp->filePath(QStringLiteral("plain")));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();
    const QByteArray badDir = m_dir + "plain/sub/";
    log.setDirectory(badDir);

    QCOMPARE(errorOf([&] { log.appendLine("Connected"); }),
        QStringLiteral("Cannot create file ") + QFile::decodeName(badDir)
            + QStringLiteral("SmsSender_2007_3_5_9_4_7_89.log"));
    QCOMPARE(log.lines(), (QList<QByteArray> { "Log messages...", "Connected" }));
    QCOMPARE(m_view.clears, 0);
    QVERIFY(log.lastFile().isEmpty());

    // A place to write again: nothing was lost.
    log.setDirectory(m_dir);
    log.appendLine("Socket Disconnect");
    QVERIFY(log.lines().isEmpty());
    QCOMPARE(readRaw(m_tmp->filePath(QStringLiteral("SmsSender_2007_3_5_9_4_7_89.log"))),
        QByteArray("Log messages...\r\nConnected\r\nSocket Disconnect\r\n"));
}

void TestEngineLog::sameMillisecond()
{
    m_view.lineLimit = "1";
    m_view.saveLog = true;
    EngineLog log(m_view, m_clock);
    log.setDirectory(m_dir);

    log.appendLine("first"); // the clock does not move
    const QByteArray firstFile = log.lastFile();
    log.appendLine("a");
    log.appendLine("b");
    const QByteArray secondFile = log.lastFile();
    log.appendLine("c");
    log.appendLine("d");
    const QByteArray thirdFile = log.lastFile();

    QCOMPARE(firstFile, m_dir + "SmsSender_2007_3_5_9_4_7_89.log");
    QVERIFY(secondFile != firstFile);
    QVERIFY(thirdFile != secondFile && thirdFile != firstFile);
    for (const QByteArray& f : { secondFile, thirdFile }) {
        QVERIFY2(f.startsWith(m_dir + "SmsSender_2007_3_5_9_4_7_89"), f.constData());
        QVERIFY2(f.endsWith(".log"), f.constData());
    }
    QCOMPARE(logFiles().size(), 3);
    QCOMPARE(readRaw(QFile::decodeName(firstFile)), QByteArray("Log messages...\r\nfirst\r\n"));
    QCOMPARE(readRaw(QFile::decodeName(secondFile)), QByteArray("a\r\nb\r\n"));
    QCOMPARE(readRaw(QFile::decodeName(thirdFile)), QByteArray("c\r\nd\r\n"));

    // A later millisecond gets the plain name again.
    m_clock.time = m_clock.time.addMSecs(1);
    log.appendLine("e");
    log.appendLine("f");
    QCOMPARE(log.lastFile(), m_dir + "SmsSender_2007_3_5_9_4_7_90.log");
}

void TestEngineLog::operatorEdits()
{
    m_view.lineLimit = "3";
    m_view.saveLog = true;
    EngineLog log(m_view, m_clock);
    log.setDirectory(m_dir);

    // Typing that stays within the limit changes only the lines.
    log.setLinesFromOperator({ "Log messages...", "typed" });
    QCOMPARE(log.lines(), (QList<QByteArray> { "Log messages...", "typed" }));
    QCOMPARE(m_view.clears, 0);

    // Pasting past it runs the check.
    log.setLinesFromOperator({ "1", "2", "3", "4", "5" });
    QVERIFY(log.lines().isEmpty());
    QCOMPARE(m_view.clears, 1);
    QCOMPARE(readRaw(QFile::decodeName(log.lastFile())), QByteArray("1\r\n2\r\n3\r\n4\r\n5\r\n"));
    QVERIFY(m_view.appended.isEmpty()); // the operator's own text is not echoed back

    m_view.lineLimit = "x";
    QCOMPARE(
        errorOf([&] { log.setLinesFromOperator({ "kept" }); }), QStringLiteral("'x' is not a valid integer value"));
    QCOMPARE(log.lines(), QList<QByteArray> { "kept" });
}

QTEST_GUILESS_MAIN(TestEngineLog)
#include "tst_enginelog.moc"
