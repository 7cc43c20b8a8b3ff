#include "enginelog.h"
#include "engineoptions.h"
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
    // The first error the presenter got while f ran; empty when none.
    template <typename F> QString errorOf(F&& f)
    {
        const qsizetype before = m_view.errors.size();
        f();
        return m_view.errors.size() > before ? m_view.errors.at(before) : QString();
    }

    QScopedPointer<EngineLog> m_log;
    RecordingView m_view;
    EngineOptions m_options;
    FixedClock m_clock;
};

void TestEngineLog::init()
{
    m_tmp.reset(new QTemporaryDir);
    QVERIFY(m_tmp->isValid());
    m_dir = QFile::encodeName(m_tmp->path()) + '/';
    m_view.unwatch();
    m_view = RecordingView();
    m_options = EngineOptions();
    m_clock = FixedClock();
}

void TestEngineLog::startLine()
{
    EngineLog log(m_options, m_view, m_clock);
    m_view.watch(log);
    QCOMPARE(log.lines(), QList<QByteArray> { "Log messages..." });
    QCOMPARE(QByteArray(EngineLog::StartLine), QByteArray("Log messages..."));
    log.info("Connected");
    log.info("Messages To Send = : \xe9");
    QCOMPARE(log.lines(), (QList<QByteArray> { "Log messages...", "Connected", "Messages To Send = : \xe9" }));
    QCOMPARE(m_view.appended, (QByteArrayList { "Connected", "Messages To Send = : \xe9" }));
    QCOMPARE(m_view.clears, 0);
}

void TestEngineLog::savesPastTheLimit()
{
    m_options.lineLimit = OptionNumber::fromText("1000");
    m_options.saveLog = true;
    EngineLog log(m_options, m_view, m_clock);
    m_view.watch(log);
    log.setDirectory(m_dir);

    QList<QByteArray> expected { "Log messages..." };
    // The limit itself is allowed: 999 appends plus the start line.
    for (int i = 1; i < 1000; ++i) {
        const QByteArray line = "Transaction Success... " + QByteArray::number(i);
        expected.append(line);
        log.info(line);
    }
    QCOMPARE(log.lines().size(), 1000);
    QCOMPARE(m_view.clears, 0);
    QVERIFY(logFiles().isEmpty());

    // The 1001st line goes over: all 1001 lines are saved, the log is emptied.
    expected.append("Messages To Send = : 00000012");
    log.info("Messages To Send = : 00000012");
    QVERIFY(log.lines().isEmpty());
    QCOMPARE(m_view.clears, 1);
    QCOMPARE(logFiles(), QStringList { QStringLiteral("SmsSender_2007_3_5_9_4_7_89.log") });
    QCOMPARE(m_view.lastFile(), m_dir + "SmsSender_2007_3_5_9_4_7_89.log");
    const QByteArray text = readRaw(m_tmp->filePath(QStringLiteral("SmsSender_2007_3_5_9_4_7_89.log")));
    QCOMPARE(text.count("\r\n"), 1001);
    QVERIFY(text.endsWith("Messages To Send = : 00000012\r\n"));
    QVERIFY(text.startsWith("Log messages...\r\nTransaction Success... 1\r\n"));
    QCOMPARE(text, expected.join("\r\n") + "\r\n");
    QCOMPARE(m_view.appended.size(), 1000);

    // Emptied, the log starts counting again from nothing.
    log.info("Socket Disconnect");
    QCOMPARE(log.lines(), QList<QByteArray> { "Socket Disconnect" });
    QCOMPARE(logFiles().size(), 1);
}

void TestEngineLog::emptiesWithoutSave()
{
    m_options.lineLimit = OptionNumber::fromText("3");
    m_options.saveLog = false;
    EngineLog log(m_options, m_view, m_clock);
    m_view.watch(log);
    log.setDirectory(m_dir);
    log.info("one");
    log.info("two");
    QCOMPARE(log.lines().size(), 3);
    QCOMPARE(m_view.clears, 0);
    log.info("three"); // four lines with the start line
    QVERIFY(log.lines().isEmpty());
    QCOMPARE(m_view.clears, 1);
    QVERIFY(logFiles().isEmpty());
    QVERIFY(m_view.lastFile().isEmpty());

    // The limit is read afresh on every change.
    m_options.lineLimit = OptionNumber::fromText("  1");
    log.info("a");
    QCOMPARE(m_view.clears, 1);
    log.info("b");
    QCOMPARE(m_view.clears, 2);
    m_options.lineLimit = OptionNumber::fromText("0");
    log.info("c");
    QCOMPARE(m_view.clears, 3);
    QVERIFY(logFiles().isEmpty());
}

void TestEngineLog::invalidLimit()
{
    m_options.lineLimit = OptionNumber::fromText("abc");
    m_options.saveLog = true;
    EngineLog log(m_options, m_view, m_clock);
    m_view.watch(log);
    log.setDirectory(m_dir);
    QCOMPARE(errorOf([&] { log.info("Connected"); }), QStringLiteral("'abc' is not a valid integer value"));
    QCOMPARE(log.lines(), (QList<QByteArray> { "Log messages...", "Connected" }));
    QCOMPARE(m_view.appended, QByteArrayList { "Connected" });
    // The same fault is told once; another one is told too. The log keeps
    // growing.
    QCOMPARE(errorOf([&] { log.info("Refused: x"); }), QString());
    m_options.lineLimit = OptionNumber::fromText("");
    QCOMPARE(errorOf([&] { log.info("Socket Error"); }), QStringLiteral("'' is not a valid integer value"));
    QCOMPARE(log.lines().size(), 4);
    QCOMPARE(m_view.clears, 0);
    QVERIFY(logFiles().isEmpty());

    // Once the field is fixed, the next change rotates everything kept.
    m_options.lineLimit = OptionNumber::fromText("2");
    log.info("Socket Disconnect");
    QVERIFY(log.lines().isEmpty());
    QCOMPARE(readRaw(QFile::decodeName(m_view.lastFile())),
        QByteArray("Log messages...\r\nConnected\r\nRefused: x\r\nSocket Error\r\nSocket Disconnect\r\n"));
    // Fixed, then broken again: told again.
    m_options.lineLimit = OptionNumber::fromText("abc");
    QCOMPARE(errorOf([&] { log.info("Connected"); }), QStringLiteral("'abc' is not a valid integer value"));
}

void TestEngineLog::uncreatableFile()
{
    m_options.lineLimit = OptionNumber::fromText("1");
    m_options.saveLog = true;
    EngineLog log(m_options, m_view, m_clock);
    m_view.watch(log);
    // Below a plain file no directory can exist, whoever runs the test.
    QFile plain(m_tmp->filePath(QStringLiteral("plain")));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();
    const QByteArray badDir = m_dir + "plain/sub/";
    log.setDirectory(badDir);

    QCOMPARE(errorOf([&] { log.info("Connected"); }),
        QStringLiteral("Cannot create file ") + QFile::decodeName(badDir)
            + QStringLiteral("SmsSender_2007_3_5_9_4_7_89.log"));
    QCOMPARE(log.lines(), (QList<QByteArray> { "Log messages...", "Connected" }));
    QCOMPARE(m_view.clears, 0);
    QVERIFY(m_view.lastFile().isEmpty());

    // A place to write again: nothing was lost.
    log.setDirectory(m_dir);
    log.info("Socket Disconnect");
    QVERIFY(log.lines().isEmpty());
    QCOMPARE(readRaw(m_tmp->filePath(QStringLiteral("SmsSender_2007_3_5_9_4_7_89.log"))),
        QByteArray("Log messages...\r\nConnected\r\nSocket Disconnect\r\n"));
}

void TestEngineLog::sameMillisecond()
{
    m_options.lineLimit = OptionNumber::fromText("1");
    m_options.saveLog = true;
    EngineLog log(m_options, m_view, m_clock);
    m_view.watch(log);
    log.setDirectory(m_dir);

    log.info("first"); // the clock does not move
    const QByteArray firstFile = m_view.lastFile();
    log.info("a");
    log.info("b");
    const QByteArray secondFile = m_view.lastFile();
    log.info("c");
    log.info("d");
    const QByteArray thirdFile = m_view.lastFile();

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
    log.info("e");
    log.info("f");
    QCOMPARE(m_view.lastFile(), m_dir + "SmsSender_2007_3_5_9_4_7_90.log");
}

void TestEngineLog::operatorEdits()
{
    m_options.lineLimit = OptionNumber::fromText("3");
    m_options.saveLog = true;
    EngineLog log(m_options, m_view, m_clock);
    m_view.watch(log);
    log.setDirectory(m_dir);

    // Typing that stays within the limit changes only the lines.
    log.setLinesFromOperator({ "Log messages...", "typed" });
    QCOMPARE(log.lines(), (QList<QByteArray> { "Log messages...", "typed" }));
    QCOMPARE(m_view.clears, 0);

    // Pasting past it runs the check.
    log.setLinesFromOperator({ "1", "2", "3", "4", "5" });
    QVERIFY(log.lines().isEmpty());
    QCOMPARE(m_view.clears, 1);
    QCOMPARE(readRaw(QFile::decodeName(m_view.lastFile())), QByteArray("1\r\n2\r\n3\r\n4\r\n5\r\n"));
    QVERIFY(m_view.appended.isEmpty()); // the operator's own text is not echoed back

    m_options.lineLimit = OptionNumber::fromText("x");
    QCOMPARE(
        errorOf([&] { log.setLinesFromOperator({ "kept" }); }), QStringLiteral("'x' is not a valid integer value"));
    QCOMPARE(log.lines(), QList<QByteArray> { "kept" });
}

QTEST_GUILESS_MAIN(TestEngineLog)
#include "tst_enginelog.moc"
