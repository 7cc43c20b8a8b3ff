#include "enginelog.h"
#include "engineoptions.h"
#include "recordingview.h"
#include "resulthook.h"
#include "testsupport.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace std::chrono_literals;

// Real commands (small shell scripts) run by the hook; every wait is on the
// hook's signals or on what the scripts write.
class TestResultHook : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void arguments_data();
    void arguments();
    void failures_data();
    void failures();
    void queuesInOrder();
    void finishNamesWhatWasNotDelivered();
    void badLineLimitStaysInside();
    void runsBehindTheSender();

private:
    QString path(const char* name) const { return m_tmp->filePath(QString::fromLatin1(name)); }
    // A command that notes its outbox name, then waits for "go-<name>".
    QString gatedScript();
    // Reports one fate to the script as the hook; true once the hook is idle.
    bool runHook(const QString& script, const MessageFate& fate);
    static MessageFate fate(MessageFate::Outcome o, const QByteArray& name)
    {
        return { o, "/backup/SmsFile_" + name, name, o == MessageFate::Unanswered ? '\0' : '0', "00000001" };
    }

    std::unique_ptr<QTemporaryDir> m_tmp;
    RecordingView m_view;
    EngineOptions m_options;
    FixedClock m_clock;
};

void TestResultHook::init()
{
    m_tmp = std::make_unique<QTemporaryDir>();
    QVERIFY(m_tmp->isValid());
    m_view.unwatch();
    m_view = RecordingView();
    m_options = EngineOptions();
}

bool TestResultHook::runHook(const QString& script, const MessageFate& fate)
{
    EngineLog log(m_options, m_view, m_clock);
    m_view.watch(log);
    ResultHook hook(log);
    hook.setCommand(script);
    QSignalSpy idle(&hook, &ResultHook::idle);
    hook.report(fate);
    return idle.wait();
}

QString TestResultHook::gatedScript()
{
    const QByteArray dir = QFile::encodeName(m_tmp->path());
    const QString script = path("gated.sh");
    (void)writeScript(
        script, "echo \"$3\" >> '" + dir + "/started'\nwhile [ ! -e '" + dir + "/go-'\"$3\" ]; do sleep 0.01; done\n");
    return script;
}

void TestResultHook::arguments_data()
{
    QTest::addColumn<MessageFate>("fate");
    QTest::addColumn<QByteArray>("expected"); // the five arguments, one per line

    QTest::newRow("accepted") << MessageFate { MessageFate::Accepted, "/b/SmsFile_2007_3_5.sms", "a.sms", '0',
        "00000005" } << QByteArray("accepted\n/b/SmsFile_2007_3_5.sms\na.sms\n0\n00000005\n");
    QTest::newRow("refused") << MessageFate { MessageFate::Refused, "/b/SmsFile_1.flh", "r.flh", '7', "00000004" }
                             << QByteArray("refused\n/b/SmsFile_1.flh\nr.flh\n7\n00000004\n");
    QTest::newRow("unanswered") << MessageFate { MessageFate::Unanswered, "/b/SmsFile_2.ring", "u.ring", 0, "" }
                                << QByteArray("unanswered\n/b/SmsFile_2.ring\nu.ring\n\n\n");
    QTest::newRow("blanks and quotes") << MessageFate {
        MessageFate::Accepted, "/my backup/SmsFile_3.sms", "it's a \"quote\" $HOME *.sms", '0', "1"
    } << QByteArray("accepted\n/my backup/SmsFile_3.sms\nit's a \"quote\" $HOME *.sms\n0\n1\n");
}

void TestResultHook::arguments()
{
    QFETCH(MessageFate, fate);
    QFETCH(QByteArray, expected);
    // A blank in the command's own path too: it is one program, not split.
    const QString script = path("hook with blank.sh");
    QVERIFY(writeScript(script, "printf '%s\\n' \"$@\" > '" + QFile::encodeName(path("args")) + "'\n"));
    QVERIFY(runHook(script, fate));
    QCOMPARE(readRaw(path("args")), expected);
    QCOMPARE(m_view.appended, QByteArrayList());
}

void TestResultHook::failures_data()
{
    QTest::addColumn<QByteArray>("body"); // empty: no such command
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("exit 3") << QByteArray("exit 3\n") << QByteArray("Result command failed: exit code 3");
    QTest::newRow("crash") << QByteArray("kill -KILL $$\n") << QByteArray("Result command failed: crashed");
    QTest::newRow("hang") << QByteArray("exec sleep 60\n")
                          << QByteArray("Result command failed: still running after 0.2 s, killed");
    QTest::newRow("missing") << QByteArray() << QByteArray("Result command failed: cannot start (");
}

void TestResultHook::failures()
{
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, line);
    const QString script = path("hook.sh");
    if (!body.isEmpty())
        QVERIFY(writeScript(script, body));
    EngineLog log(m_options, m_view, m_clock);
    m_view.watch(log);
    ResultHook hook(log);
    hook.setCommand(script);
    // Only the hanging command meets the short limit: a command that ends by
    // itself may take longer than that to start on a busy machine.
    hook.setTimeLimit(body.contains("sleep") ? 200ms : 60s);
    QSignalSpy idle(&hook, &ResultHook::idle);
    hook.report(fate(MessageFate::Refused, "x.sms"));
    QVERIFY(idle.wait(60000));
    // Named once per run, and the next result still gets its own run.
    hook.report(fate(MessageFate::Accepted, "y.sms"));
    QVERIFY(idle.wait(60000));
    QCOMPARE(m_view.appended.size(), 2);
    for (const QByteArray& logged : std::as_const(m_view.appended))
        QVERIFY2(logged.startsWith(line), logged.constData());
    QVERIFY(m_view.errors.isEmpty());
}

void TestResultHook::queuesInOrder()
{
    EngineLog log(m_options, m_view, m_clock);
    m_view.watch(log);
    ResultHook hook(log);
    hook.setCommand(gatedScript());
    for (const char* name : { "n1", "n2", "n3", "n4", "n5", "n6" })
        hook.report(fate(MessageFate::Accepted, name));
    QCOMPARE(hook.running(), 4);
    QCOMPARE(hook.waiting(), 2);
    const auto started = [this] {
        QByteArrayList names = readRaw(path("started")).split('\n');
        names.removeAll(QByteArray());
        std::sort(names.begin(), names.end());
        return names;
    };
    QTRY_COMPARE(started(), (QByteArrayList { "n1", "n2", "n3", "n4" }));
    QVERIFY(writeScript(path("go-n3"), ""));
    QTRY_COMPARE(started(), (QByteArrayList { "n1", "n2", "n3", "n4", "n5" }));
    QCOMPARE(hook.waiting(), 1);
    QVERIFY(writeScript(path("go-n1"), ""));
    QTRY_COMPARE(started(), (QByteArrayList { "n1", "n2", "n3", "n4", "n5", "n6" }));
    QSignalSpy idle(&hook, &ResultHook::idle);
    for (const char* name : { "go-n2", "go-n4", "go-n5", "go-n6" })
        QVERIFY(writeScript(path(name), ""));
    QVERIFY(idle.wait());
    QCOMPARE(m_view.appended, QByteArrayList());
}

void TestResultHook::finishNamesWhatWasNotDelivered()
{
    EngineLog log(m_options, m_view, m_clock);
    m_view.watch(log);
    ResultHook hook(log);
    hook.setCommand(gatedScript());
    hook.report(fate(MessageFate::Accepted, "n1"));
    hook.report(fate(MessageFate::Refused, "n2"));
    QVERIFY(writeScript(path("go-n2"), ""));
    for (const char* name : { "n3", "n4", "n5", "n6" })
        hook.report(fate(MessageFate::Unanswered, name));
    QSignalSpy ended(&hook, &ResultHook::runEnded);
    QVERIFY(ended.wait()); // n2 delivered; n1, n3 to n5 hang, n6 waits
    const QByteArrayList expected { "Result not delivered: accepted /backup/SmsFile_n1",
        "Result not delivered: unanswered /backup/SmsFile_n3", "Result not delivered: unanswered /backup/SmsFile_n4",
        "Result not delivered: unanswered /backup/SmsFile_n5", "Result not delivered: unanswered /backup/SmsFile_n6" };
    QCOMPARE(hook.finish(), expected);
    QCOMPARE(m_view.appended, expected);
    QCOMPARE(hook.running(), 0);
    QCOMPARE(hook.waiting(), 0);
}

void TestResultHook::badLineLimitStaysInside()
{
    m_options.lineLimit = OptionNumber::fromText("ten");
    const QString script = path("hook.sh");
    QVERIFY(writeScript(script, "exit 1\n"));
    QVERIFY(runHook(script, fate(MessageFate::Accepted, "x.sms")));
    QCOMPARE(m_view.appended, QByteArrayList { "Result command failed: exit code 1" });
    QCOMPARE(m_view.errors, QStringList { QStringLiteral("'ten' is not a valid integer value") });
}

void TestResultHook::runsBehindTheSender()
{
    // The nice value is field 19 of a process's stat line.
    const QString script = path("hook.sh");
    QVERIFY(writeScript(script, "cut -d' ' -f19 /proc/$$/stat > '" + QFile::encodeName(path("nice")) + "'\n"));
    QVERIFY(runHook(script, fate(MessageFate::Accepted, "x.sms")));
    const int ours = readRaw(QStringLiteral("/proc/self/stat")).split(' ').value(18).toInt();
    QCOMPARE(readRaw(path("nice")).trimmed().toInt(), std::min(19, ours + 10));
}

QTEST_GUILESS_MAIN(TestResultHook)
#include "tst_resulthook.moc"
