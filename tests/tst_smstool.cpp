#include "command.h"
#include "controlfolder.h"
#include "fsutil.h"
#include "gatewayprocess.h"
#include "ledger.h"
#include "messagekind.h"
#include "statusfile.h"
#include "testsupport.h"
#include "timestamp.h"

#include <QDir>
#include <QLockFile>
#include <QRegularExpression>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// What happened to each name in a folder, in inotify's own words: a file
// that stood half-written under its final name shows as created there.
class FolderEvents
{
public:
    explicit FolderEvents(const QString& dir)
        : m_fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        m_ok = m_fd >= 0
            && ::inotify_add_watch(m_fd, QFile::encodeName(dir).constData(), IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO)
                >= 0;
    }
    ~FolderEvents() { ::close(m_fd); }
    bool ok() const { return m_ok; }

    // The events so far, name by name.
    QMultiHash<QByteArray, uint32_t> take()
    {
        alignas(inotify_event) char buffer[65536];
        QMultiHash<QByteArray, uint32_t> events;
        for (ssize_t n; (n = ::read(m_fd, buffer, sizeof buffer)) > 0;) {
            for (ssize_t at = 0; at < n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
                events.insert(QByteArray(e->name), e->mask & (IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO));
                at += ssize_t(sizeof(inotify_event) + e->len);
            }
        }
        return events;
    }

private:
    int m_fd;
    bool m_ok = false;
};
} // namespace

// marlek-sms on its own: its checks and names, and the program run against
// a folder laid out by hand (settings, status file, ledger, lock).
class TestSmsTool : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void checkMessage_data();
    void checkMessage();
    void namesSortInSubmissionOrder();
    void judge_data();
    void judge();
    void send_data();
    void send();
    void resultAndRequeue();
    void statusExitCodes_data();
    void statusExitCodes();
    void control_data();
    void control();

private:
    QByteArray dir() const { return QFile::encodeName(m_tmp->path()) + '/'; }
    void writeSettings() const
    {
        QVERIFY(Fs::writeFile(dir() + "SMS_Key_Client.inf", "out/\r\nbak/\r\n127.0.0.1\r\n1\r\nu\r\np\r\nk\r\n"));
    }
    QStringList outbox() const
    {
        return QDir(m_tmp->filePath(QStringLiteral("out"))).entryList(QDir::Files | QDir::Hidden);
    }
    QStringList tool(const QStringList& arguments) const
    {
        return QStringList { arguments.constFirst(), QStringLiteral("--workdir"), m_tmp->path() } + arguments.mid(1);
    }
    QByteArray control(const char* file) const { return dir() + ControlFolder::Name + '/' + file; }

    std::unique_ptr<QTemporaryDir> m_tmp;
};

void TestSmsTool::init()
{
    m_tmp = std::make_unique<QTemporaryDir>();
    QVERIFY(m_tmp->isValid());
    QVERIFY(QDir(m_tmp->path()).mkpath(QStringLiteral("out")));
}

void TestSmsTool::checkMessage_data()
{
    QTest::addColumn<QString>("to");
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("refusal"); // a part of it; empty: accepted

    const QString ok = QStringLiteral("Marlek");
    QTest::newRow("plain") << "+391234567" << ok << "Hello"
                           << "";
    QTest::newRow("15 characters with the plus") << "+12345678901234" << ok << ""
                                                 << "";
    QTest::newRow("16 characters") << "+123456789012345" << ok << "x"
                                   << "--to:";
    QTest::newRow("plus alone") << "+" << ok << "x"
                                << "--to:";
    QTest::newRow("plus inside") << "39+1" << ok << "x"
                                 << "--to:";
    QTest::newRow("letters") << "39abc" << ok << "x"
                             << "--to:";
    QTest::newRow("empty destination") << "" << ok << "x"
                                       << "--to:";
    QTest::newRow("empty sender") << "39"
                                  << ""
                                  << "x"
                                  << "--from:";
    QTest::newRow("16-character sender") << "39"
                                         << "ABCDEFGHIJKLMNOP"
                                         << "x"
                                         << "--from: 16 characters";
    QTest::newRow("line break in the sender") << "39"
                                              << "a\nb"
                                              << "x"
                                              << "--from: no line breaks";
    QTest::newRow("160 bytes") << "39" << ok << QString(160, u'x') << "";
    QTest::newRow("161 bytes") << "39" << ok << QString(161, u'x') << "text: 161 bytes, at most 160";
    QTest::newRow("160 Latin-1 letters") << "39" << ok << QString(160, QChar(0xe9)) << "";
    QTest::newRow("CR in the text") << "39" << ok << "a\rb"
                                    << "text: no line breaks";
    QTest::newRow("paragraph separator") << "39" << ok << QStringLiteral("a\u2029b") << "text: no line breaks";
    QTest::newRow("NUL") << "39" << ok << QString(QChar(0)) << "text: no NUL";
    QTest::newRow("euro sign, named as the test window names it")
        << "39" << ok << QStringLiteral("5 \u20ac")
        << QStringLiteral("text: The gateway cannot carry the character \"\u20ac\" (U+20AC)");
    QTest::newRow("emoji in the sender") << "39" << QStringLiteral("\U0001F600") << "x" << QStringLiteral("(U+1F600)");
}

void TestSmsTool::checkMessage()
{
    QFETCH(QString, to);
    QFETCH(QString, from);
    QFETCH(QString, text);
    QFETCH(QString, refusal);
    const QString got = SmsTool::checkMessage(to, from, text);
    if (refusal.isEmpty())
        QCOMPARE(got, QString());
    else
        QVERIFY2(got.contains(refusal), qPrintable(got));
}

void TestSmsTool::namesSortInSubmissionOrder()
{
    SmsTool::SubmissionNames names(4242);
    const qint64 t = 1700000000LL * 1000000 + 5;
    QByteArrayList made;
    // The same microsecond twice, then a clock stepped back.
    for (const qint64 micros : { t, t, t - 5000000, t + 1, t + 3600LL * 1000000 })
        made.append(names.next(".sms", micros));
    QCOMPARE(made.first(), QByteArray("20231114T221320.000005Z_4242_0001.sms"));
    QByteArrayList sorted = made;
    std::sort(sorted.begin(), sorted.end());
    QCOMPARE(sorted, made);
    QCOMPARE(QSet<QByteArray>(made.cbegin(), made.cend()).size(), made.size());
    // The name written first matches no outbox search.
    const QByteArray temporary = SmsTool::temporaryName(made.first());
    QVERIFY(!MessageKinds::byExtension(temporary.mid(temporary.lastIndexOf('.'))));
    QVERIFY(temporary.startsWith('.'));
}

void TestSmsTool::judge_data()
{
    QTest::addColumn<int>("link");
    QTest::addColumn<int>("writtenAgo");
    QTest::addColumn<bool>("held");
    QTest::addColumn<int>("oldest"); // -1: not known
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("says");

    const int up = int(SenderStatus::Link::LoggedIn);
    QTest::newRow("logged in") << up << 5 << true << 10 << 0 << "SMS OK - logged in to gw:1";
    QTest::newRow("connecting") << int(SenderStatus::Link::Connecting) << 5 << true << 0 << 1 << "connecting since";
    QTest::newRow("disconnected") << int(SenderStatus::Link::Disconnected) << 5 << true << 0 << 1 << "not logged in";
    // The age grows with the status file's, the same file still waiting.
    QTest::newRow("queue stuck") << up << 5 << true << 296 << 1 << "waited 301 s (more than 300 s)";
    QTest::newRow("oldest not known") << up << 5 << true << -1 << 0 << "SMS OK";
    QTest::newRow("lock free") << up << 5 << false << 0 << 2 << "not running";
    QTest::newRow("status two minutes old") << up << 121 << true << 0 << 2 << "121 s old";
    QTest::newRow("just under") << up << 120 << true << 0 << 0 << "SMS OK";
}

void TestSmsTool::judge()
{
    QFETCH(int, link);
    QFETCH(int, writtenAgo);
    QFETCH(bool, held);
    QFETCH(int, oldest);
    QFETCH(int, code);
    QFETCH(QString, says);
    SenderStatus s;
    s.link = SenderStatus::Link(link);
    s.gateway = QStringLiteral("gw:1");
    const QDateTime now = QDateTime::currentDateTime();
    s.since = now.addSecs(-1000);
    s.written = now.addSecs(-writtenAgo);
    if (oldest >= 0)
        s.oldestQueuedSeconds = oldest;
    const SmsTool::Verdict v = SmsTool::judge(s, held, now, 300);
    QCOMPARE(v.code, code);
    QVERIFY2(v.summary.contains(says), qPrintable(v.summary));
}

void TestSmsTool::send_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("file"); // the file written, ext first line; empty: none

    const QStringList base { QStringLiteral("send"), QStringLiteral("--to"), QStringLiteral("+3912"),
        QStringLiteral("--from"), QStringLiteral("Me") };
    QTest::newRow("text argument") << base + QStringList { QStringLiteral("Hello there") } << QByteArray() << 0
                                   << QByteArray(".sms\n+3912\r\nMe\r\nHello there\r\n");
    QTest::newRow("standard input, its final CR LF dropped")
        << base << QByteArray("from stdin\r\n") << 0 << QByteArray(".sms\n+3912\r\nMe\r\nfrom stdin\r\n");
    QTest::newRow("flash, UTF-8 input in Latin-1")
        << base + QStringList { QStringLiteral("--kind=flash") } << QByteArray("caff\xc3\xa8\n") << 0
        << QByteArray(".flh\n+3912\r\nMe\r\ncaff\xe8\r\n");
    QTest::newRow("ring, empty text") << base + QStringList { QStringLiteral("--kind"), QStringLiteral("ring") }
                                      << QByteArray() << 0 << QByteArray(".ring\n+3912\r\nMe\r\n\r\n");
    QTest::newRow("two lines") << base << QByteArray("one\ntwo\n") << 65 << QByteArray();
    QTest::newRow("161 bytes") << base << QByteArray(161, 'x') << 65 << QByteArray();
    QTest::newRow("unknown kind") << base + QStringList { QStringLiteral("--kind=mms"), QStringLiteral("x") }
                                  << QByteArray() << 64 << QByteArray();
    QTest::newRow("no sender") << base.mid(0, 3) + QStringList { QStringLiteral("x") } << QByteArray() << 64
                               << QByteArray();
    QTest::newRow("two texts") << base + QStringList { QStringLiteral("a"), QStringLiteral("b") } << QByteArray() << 64
                               << QByteArray();
    QTest::newRow("bad wait") << base + QStringList { QStringLiteral("--wait=soon"), QStringLiteral("x") }
                              << QByteArray() << 64 << QByteArray();
}

void TestSmsTool::send()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, input);
    QFETCH(int, code);
    QFETCH(QByteArray, file);
    writeSettings();
    FolderEvents events(m_tmp->filePath(QStringLiteral("out")));
    QVERIFY(events.ok());
    const ToolRun run = runTool(tool(arguments), input);
    QVERIFY2(run.code == code, run.err.constData());
    if (file.isEmpty()) {
        QVERIFY(outbox().isEmpty());
        QVERIFY(!run.err.isEmpty());
        return;
    }
    const QByteArray name = run.out.trimmed();
    QCOMPARE(outbox(), QStringList { QString::fromLatin1(name) }); // nothing half-written beside it
    // Written under another name; the final name only ever came by a rename.
    const QMultiHash<QByteArray, uint32_t> seen = events.take();
    QCOMPARE(seen.values(name), QList<uint32_t> { IN_MOVED_TO });
    QCOMPARE(seen.values(SmsTool::temporaryName(name)), (QList<uint32_t> { IN_CLOSE_WRITE, IN_CREATE }));
    QVERIFY2(QRegularExpression(QStringLiteral("^\\d{8}T\\d{6}\\.\\d{6}Z_\\d+_0001\\.[a-z]+$"))
                 .match(QString::fromLatin1(name))
                 .hasMatch(),
        name.constData());
    const qsizetype lineEnd = file.indexOf('\n');
    QVERIFY(name.endsWith(file.left(lineEnd)));
    QCOMPARE(readRaw(m_tmp->filePath(QStringLiteral("out/") + QString::fromLatin1(name))), file.mid(lineEnd + 1));
}

void TestSmsTool::resultAndRequeue()
{
    // Without settings, send and requeue have no outbox; an outbox that is
    // not there cannot be written.
    QCOMPARE(runTool(tool({ QStringLiteral("send"), QStringLiteral("--to"), QStringLiteral("1"),
                         QStringLiteral("--from"), QStringLiteral("a"), QStringLiteral("x") }))
                 .code,
        78);
    QVERIFY(Fs::writeFile(dir() + "SMS_Key_Client.inf", "gone/\r\nbak/\r\n127.0.0.1\r\n1\r\nu\r\np\r\nk\r\n"));
    QCOMPARE(runTool(tool({ QStringLiteral("send"), QStringLiteral("--to"), QStringLiteral("1"),
                         QStringLiteral("--from"), QStringLiteral("a"), QStringLiteral("x") }))
                 .code,
        73);
    writeSettings();
    QVERIFY(QDir(m_tmp->path()).mkpath(QStringLiteral("bak")));

    const QByteArray refused = "bak/SmsFile_2007_3_5_9_4_7_1.flh";
    const QByteArray accepted = "bak/SmsFile_2007_3_5_9_4_7_2.sms";
    const QByteArray expired = "bak/SmsFile_2007_3_5_9_4_7_3.sms";
    for (const QByteArray& backup : { refused, accepted, expired })
        QVERIFY(Fs::writeFile(dir() + backup, "39\r\nMe\r\ntext of " + backup + "\r\n"));
    // A rotated ledger holds the older lines.
    QVERIFY(Fs::writeFile(dir() + Ledger::rotatedName("2007_3_5_9_4_6_0"),
        Ledger::format(
            { "2007-03-05T09:04:06+01:00", Ledger::Outcome::Unanswered, "x\ty.sms", "bak/SmsFile_0.sms", "", "" })));
    QVERIFY(Fs::writeFile(dir() + Ledger::FileName,
        Ledger::format({ "2007-03-05T09:04:08+01:00", Ledger::Outcome::Refused, "r.flh", refused, "1", "00000003" })
            + Ledger::format(
                { "2007-03-05T09:04:09+01:00", Ledger::Outcome::Accepted, "a.sms", accepted, "0", "00000002" })
            + Ledger::format({ "2007-03-05T09:04:10+01:00", Ledger::Outcome::Expired, "e.sms", expired, "", "" })));

    struct Case
    {
        QString name;
        int code;
    };
    for (const Case& c : { Case { QStringLiteral("r.flh"), 1 }, Case { QStringLiteral("a.sms"), 0 },
             Case { QString::fromLatin1(dir() + accepted), 0 },
             Case { QStringLiteral("SmsFile_2007_3_5_9_4_7_1.flh"), 1 }, Case { QStringLiteral("x\ty.sms"), 2 },
             Case { QStringLiteral("never.sms"), 3 }, Case { QStringLiteral("e.sms"), 4 } }) {
        const ToolRun run = runTool(tool({ QStringLiteral("result"), c.name }));
        QVERIFY2(run.code == c.code, qPrintable(c.name));
        QCOMPARE(run.out.count('\n'), c.code == 3 ? 0 : 1);
    }
    QCOMPARE(runTool(tool({ QStringLiteral("result"), QStringLiteral("x\ty.sms") })).out.split('\t').value(2),
        QByteArray("x\\ty.sms"));

    // Refused: back into the outbox, byte for byte. Accepted: left alone,
    // unless forced.
    ToolRun run = runTool(tool({ QStringLiteral("requeue"), QString::fromLatin1(dir() + refused) }));
    QCOMPARE(run.code, 0);
    QVERIFY(run.out.trimmed().endsWith(".flh"));
    QCOMPARE(readRaw(QString::fromLatin1(dir() + "out/" + run.out.trimmed())),
        readRaw(QString::fromLatin1(dir() + refused)));
    run = runTool(tool({ QStringLiteral("requeue"), QString::fromLatin1(accepted.mid(4)) }));
    QCOMPARE(run.code, 65);
    QCOMPARE(run.err,
        "marlek-sms: SmsFile_2007_3_5_9_4_7_2.sms: its fate is accepted; the gateway may already have it"
        " (--force puts it back all the same)\n");
    QCOMPARE(outbox().size(), 1);
    run = runTool(tool({ QStringLiteral("requeue"), QStringLiteral("--force"), QString::fromLatin1(accepted.mid(4)) }));
    QCOMPARE(run.code, 0); // found where the ledger says
    QCOMPARE(outbox().size(), 2);
    // Expired: never sent, so back without --force.
    run = runTool(tool({ QStringLiteral("requeue"), QString::fromLatin1(expired.mid(4)) }));
    QVERIFY2(run.code == 0, run.err.constData());
    QCOMPARE(readRaw(QString::fromLatin1(dir() + "out/" + run.out.trimmed())),
        readRaw(QString::fromLatin1(dir() + expired)));
    QCOMPARE(
        runTool(tool({ QStringLiteral("requeue"), QStringLiteral("--force"), QStringLiteral("nowhere.sms") })).code,
        66);
}

void TestSmsTool::statusExitCodes_data()
{
    QTest::addColumn<QByteArray>("link");
    QTest::addColumn<QByteArray>("lock"); // "held", "stale", "none"
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("says");
    QTest::addColumn<int>("oldest"); // seconds the oldest queued file has waited
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArray>("set"); // a key of the status file set true
    QTest::newRow("logged in") << QByteArray("logged-in") << QByteArray("held") << 0 << QByteArray("SMS OK") << 3
                               << QStringList() << QByteArray();
    QTest::newRow("paused") << QByteArray("logged-in") << QByteArray("held") << 1
                            << QByteArray("SMS WARNING - paused\n") << 3 << QStringList() << QByteArray("paused");
    QTest::newRow("credit low") << QByteArray("logged-in") << QByteArray("held") << 1
                                << QByteArray("SMS WARNING - credit low: 00000012 messages left\n") << 3
                                << QStringList() << QByteArray("creditLow");
    QTest::newRow("draining is no warning") << QByteArray("logged-in") << QByteArray("held") << 0
                                            << QByteArray("SMS OK") << 3 << QStringList() << QByteArray("draining");
    QTest::newRow("connecting") << QByteArray("connecting") << QByteArray("held") << 1 << QByteArray("SMS WARNING") << 3
                                << QStringList() << QByteArray();
    QTest::newRow("lock left by a dead program")
        << QByteArray("logged-in") << QByteArray("stale") << 2 << QByteArray("SMS CRITICAL - not running") << 3
        << QStringList() << QByteArray();
    QTest::newRow("no lock file") << QByteArray("logged-in") << QByteArray("none") << 2
                                  << QByteArray("SMS CRITICAL - not running") << 3 << QStringList() << QByteArray();
    QTest::newRow("no status file") << QByteArray() << QByteArray("held") << 3 << QByteArray("SMS UNKNOWN") << 3
                                    << QStringList() << QByteArray();
    // The default of 300 s says the opposite of each.
    QTest::newRow("queue older than --max-age")
        << QByteArray("logged-in") << QByteArray("held") << 1
        << QByteArray("SMS WARNING - the oldest queued file has waited 10") << 100
        << QStringList { QStringLiteral("--max-age"), QStringLiteral("50") } << QByteArray();
    QTest::newRow("queue within --max-age")
        << QByteArray("logged-in") << QByteArray("held") << 0 << QByteArray("SMS OK") << 400
        << QStringList { QStringLiteral("--max-age=1000") } << QByteArray();
}

void TestSmsTool::statusExitCodes()
{
    QFETCH(QByteArray, link);
    QFETCH(QByteArray, lock);
    QFETCH(int, code);
    QFETCH(QByteArray, says);
    QFETCH(int, oldest);
    QFETCH(QStringList, options);
    QFETCH(QByteArray, set);
    SenderStatus s;
    s.counter = "00000012";
    s.written = QDateTime::currentDateTime();
    s.since = s.written;
    s.gateway = QStringLiteral("127.0.0.1:9");
    s.queued = std::array<qint64, 4> { 1, 0, 0, 0 };
    s.oldestQueuedSeconds = oldest;
    QByteArray json = s.toJson().replace("\"disconnected\"", '"' + link + '"');
    if (!set.isEmpty())
        json.replace('"' + set + "\": false", '"' + set + "\": true");
    if (!link.isEmpty())
        QVERIFY(Fs::writeFile(dir() + SenderStatus::FileName, json));
    QLockFile held(QFile::decodeName(dir() + SenderStatus::LockFileName));
    if (lock == "held")
        QVERIFY(held.tryLock(0));
    if (lock == "stale") // a process id no process has
        QVERIFY(Fs::writeFile(dir() + SenderStatus::LockFileName,
            "2147483646\ntst_smstool\n" + QSysInfo::machineHostName().toUtf8() + '\n'));

    const ToolRun run = runTool(tool(QStringList { QStringLiteral("status") } + options));
    QCOMPARE(run.code, code);
    QVERIFY2(run.out.startsWith(says), run.out.constData());
    if (code != 3) {
        QVERIFY2(
            run.out.contains("Queued:      sms 1, ring 0, lnol 0, flh 0; the oldest waiting "), run.out.constData());
        QVERIFY2(run.out.contains(set == "paused" ? "Controls:    paused, not draining, no send window"
                                                  : "Controls:    not paused, "),
            run.out.constData());
        const ToolRun asJson
            = runTool(tool(QStringList { QStringLiteral("status"), QStringLiteral("--json") } + options));
        QCOMPARE(asJson.code, code);
        QCOMPARE(asJson.out, json);
    }
    // The tool never takes the lock, nor clears a stale one.
    QCOMPARE(Fs::exists(dir() + SenderStatus::LockFileName), lock != "none");
}

void TestSmsTool::control_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QByteArray>("sender"); // "answers", "silent" (holds the lock only), "none"
    QTest::addColumn<bool>("pausedBefore");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("says"); // on standard error; empty: nothing
    QTest::addColumn<QByteArrayList>("filesAfter"); // in the control folder

    const QByteArrayList none;
    const QByteArrayList pause { "pause" };
    QTest::newRow("pause") << "pause" << QByteArray("answers") << false << 0 << QByteArray() << pause;
    QTest::newRow("pause while paused") << "pause" << QByteArray("answers") << true << 0 << QByteArray() << pause;
    QTest::newRow("resume") << "resume" << QByteArray("answers") << true << 0 << QByteArray() << none;
    // Returns only once the sender has removed the file: the drain is done.
    QTest::newRow("drain") << "drain" << QByteArray("answers") << false << 0 << QByteArray() << none;
    QTest::newRow("drain while paused") << "drain" << QByteArray("answers") << true << 0 << QByteArray() << pause;
    QTest::newRow("no sender: nothing changed")
        << "drain" << QByteArray("none") << false << 1 << QByteArray("marlek-sms: no sender runs in ") << none;
    QTest::newRow("pause not shown") << "pause" << QByteArray("silent") << false << 1
                                     << QByteArray("did not show it paused within 5 s\n") << pause;
    // A drain left behind would end the sender's next start.
    QTest::newRow("drain not shown, taken back")
        << "drain" << QByteArray("silent") << false << 1 << QByteArray("did not show it draining within 5 s\n") << none;
}

void TestSmsTool::control()
{
    QFETCH(QString, command);
    QFETCH(QByteArray, sender);
    QFETCH(bool, pausedBefore);
    QFETCH(int, code);
    QFETCH(QByteArray, says);
    QFETCH(QByteArrayList, filesAfter);
    QVERIFY(QDir(m_tmp->path()).mkpath(QString::fromLatin1(ControlFolder::Name)));
    if (pausedBefore)
        QVERIFY(Fs::writeFile(control(ControlFolder::PauseFile), QByteArray()));
    QLockFile lock(QFile::decodeName(dir() + SenderStatus::LockFileName));
    if (sender != "none")
        QVERIFY(lock.tryLock(0));

    // The sender's side, as the engine does it: the control files read
    // now and then, the status written after them, a drain ended by
    // removing its file once the status has shown it.
    SenderStatus status;
    status.link = SenderStatus::Link::LoggedIn;
    status.paused = pausedBefore;
    auto write = [&] {
        status.written = QDateTime::currentDateTime();
        QVERIFY(Fs::writeFileAtomic(dir() + SenderStatus::FileName, status.toJson(), 0640));
    };
    write();
    QTimer engine;
    QObject::connect(&engine, &QTimer::timeout, &engine, [&] {
        status.paused = Fs::exists(control(ControlFolder::PauseFile));
        if (status.draining)
            QVERIFY(Fs::removeFile(control(ControlFolder::DrainFile)));
        status.draining = !status.draining && Fs::exists(control(ControlFolder::DrainFile));
        write();
    });
    if (sender == "answers")
        engine.start(150);

    const ToolRun run = runTool(tool({ command }));
    QCOMPARE(run.code, code);
    QVERIFY2(says.isEmpty() ? run.err.isEmpty() : run.err.contains(says), run.err.constData());
    QVERIFY(run.out.isEmpty());
    QByteArrayList files;
    for (const QString& name : QDir(QFile::decodeName(control(""))).entryList(QDir::Files | QDir::Hidden))
        files.append(QFile::encodeName(name));
    QCOMPARE(files, filesAfter);
    struct stat st;
    if (filesAfter.contains("pause") && !pausedBefore) // the sender's group may resume it
        QCOMPARE(::stat(control(ControlFolder::PauseFile).constData(), &st) == 0 ? st.st_mode & 0777 : 0u, 0660u);
}

QTEST_GUILESS_MAIN(TestSmsTool)
#include "tst_smstool.moc"
