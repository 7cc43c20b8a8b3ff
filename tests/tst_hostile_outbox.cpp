// The whole engine against an outbox full of things that are not plain
// message files: each must have a clear outcome, none may crash the program or
// hold up the files behind it, every good file goes to the gateway exactly
// once, and no file is lost.
#include "enginefixture.h"
#include "errorroute.h"
#include "record.h"
#include "recordingview.h"
#include "settings.h"
#include "textfile.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const QByteArray Key = "ABCD1234EFGH5678";
constexpr qint64 HundredMegabytes = 100 * 1024 * 1024;

// A gateway that answers every whole request with a success reply and keeps
// every request it was sent.
class RecordingGateway : public QObject
{
public:
    QTcpServer server;
    QList<QByteArray> requests;
    QHash<QTcpSocket*, QByteArray> pending;

    RecordingGateway()
    {
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = server.nextPendingConnection()) {
                connect(s, &QTcpSocket::readyRead, this, [this, s] { onRead(s); });
                connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
    }

    bool listen() { return server.listen(QHostAddress::LocalHost, 0); }

    QList<QByteArray> messages() const
    {
        QList<QByteArray> m;
        for (const QByteArray& r : requests) {
            if (r.at(GatewayRecord::CommandAt) != GatewayRecord::LoginCommand)
                m.append(r);
        }
        return m;
    }

private:
    void onRead(QTcpSocket* s)
    {
        QByteArray& buffer = pending[s];
        buffer += s->readAll();
        while (buffer.size() >= GatewayRecord::Size) {
            requests.append(buffer.left(GatewayRecord::Size));
            buffer.remove(0, GatewayRecord::Size);
            QByteArray reply(GatewayRecord::Size, '\0');
            reply.replace(GatewayRecord::CounterAt, 8, QByteArray::number(requests.size()).rightJustified(8, '0'));
            reply[GatewayRecord::ResultAt] = GatewayRecord::SuccessCode;
            s->write(reply);
        }
    }
};

// Every call is one millisecond later, so no two backups share a name.
class SteppingClock : public Clock
{
public:
    mutable QDateTime time = QDateTime(QDate(2007, 3, 5), QTime(9, 4, 7, 89));
    QDateTime now() const override
    {
        time = time.addMSecs(1);
        return time;
    }
};

bool writeBytes(const QByteArray& path, const QByteArray& data, qint64 size = -1)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = ::write(fd, data.constData(), size_t(data.size())) == data.size();
    // A large file without writing it: the rest reads as zero bytes.
    if (size > data.size())
        ok = ok && ::ftruncate(fd, off_t(size)) == 0;
    // Older than the moments in which a file may still be growing.
    const timespec old[2] = { { 1000000000, 0 }, { 1000000000, 0 } };
    ok = ok && ::futimens(fd, old) == 0;
    return ::close(fd) == 0 && ok;
}

long peakResidentKilobytes()
{
    rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// The directory's names as bytes: not every name here is valid UTF-8.
QByteArrayList entries(const QByteArray& dir)
{
    QByteArrayList names;
    if (DIR* d = ::opendir(dir.constData())) {
        while (const dirent* e = ::readdir(d)) {
            const QByteArray name(e->d_name);
            if (name != "." && name != "..")
                names.append(name);
        }
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

QByteArray head(const QByteArray& path, qint64 bytes)
{
    QFile f(QFile::decodeName(path));
    return f.open(QIODevice::ReadOnly) ? f.read(bytes) : QByteArray();
}
} // namespace

class TestHostileOutbox : public QObject, public EngineFixture
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void everyEntryHasAClearOutcome();
    void fileRemovedBetweenSearchAndRead();
    void backupDirectoryIsTheOutbox();

private:
    void tick()
    {
        runGuarded(view, [this] { engine->tick().runOnce(); });
    }
    QByteArray record(const QByteArray& content, char command) const;

    std::unique_ptr<RecordingGateway> gateway;
    SteppingClock clock;
};

void TestHostileOutbox::init()
{
    QVERIFY(setUp());
    gateway = std::make_unique<RecordingGateway>();
    QVERIFY(gateway->listen());
    options.pollInterval = OptionNumber::fromText("600000"); // ticks are driven by hand
    startEngine(QByteArray::number(gateway->server.serverPort()), Key, clock);
}

void TestHostileOutbox::cleanup()
{
    engine.reset();
    gateway.reset();
    // QTemporaryDir cannot remove names that are not valid UTF-8.
    for (const QByteArray& dir : { outDir, bakDir }) {
        for (const QByteArray& name : entries(dir)) {
            const QByteArray path = dir + name;
            if (::unlink(path.constData()) != 0)
                ::rmdir(path.constData());
        }
    }
    tearDown();
}

QByteArray TestHostileOutbox::record(const QByteArray& content, char command) const
{
    const QList<QByteArray> lines = TextFile::splitLines(content);
    return GatewayRecord::buildMessageRecord(
        { lines.value(0), lines.value(1), lines.value(2) }, command, { "user", "secret", Key });
}

void TestHostileOutbox::everyEntryHasAClearOutcome()
{
    // Files that carry a message, whatever else is odd about them.
    QByteArray binary;
    for (int round = 0; round < 2; ++round) {
        for (int b = 1; b < 256; ++b)
            binary.append(char(b));
        binary.append('\0');
    }
    const QByteArray bigHead = "3330000000\r\nBig\r\nthree lines, then 100 MB of zeros\r\n";
    const QList<std::pair<QByteArray, QByteArray>> good = {
        { "plain.sms", "3331234567\r\nMarlek\r\nplain\r\n" },
        { "tune.ring", "3331234568\r\nMarlek\r\nring tone\r\n" },
        { "pic.lnol", "3331234569\r\nMarlek\r\nlogo\r\n" },
        { "now.flh", "3331234570\r\nMarlek\r\nflash\r\n" },
        { "cr-only.sms", "111\r222\rcarriage returns only" },
        { "lf-only.sms", "111\n222\nline feeds only\nfourth line ignored\n" },
        { "blank and \xe9\xfc\xff name.sms", "444\r\nLatin \xe9\r\nbytes \xa0\xff kept\r\n" },
        { "line\nbreak.sms", "555\r\n666\r\nname with a line break\r\n" },
        { "binary.sms", binary },
        { QByteArray(240, 'n') + ".sms", "777\r\n888\r\nlong name\r\n" },
        { "big.sms", bigHead },
    };
    for (const auto& [name, content] : good)
        QVERIFY(writeBytes(outDir + name, content, name == "big.sms" ? HundredMegabytes : -1));

    // Entries that cannot be sent, each with the error it is to show once.
    QVERIFY(writeBytes(outDir + "nul.sms", QByteArray("\0\0\0", 3) + "12\r\n34\r\n56\r\n"));
    QVERIFY(writeBytes(outDir + "zeros.sms", {}, HundredMegabytes));
    QVERIFY(writeBytes(outDir + "no-breaks.sms", "3331234567 Marlek all on one line"));
    // 64 MB of text with no line break and no NUL: it must be read past, not
    // held in memory.
    QVERIFY(writeBytes(outDir + "endless.sms", QByteArray(64 * 1024 * 1024, 'A')));
    QVERIFY(QDir().mkdir(QFile::decodeName(outDir + "x.sms")));
    QCOMPARE(::mkfifo((outDir + "z.sms").constData(), 0644), 0);
    // Dangling links, several so that some come before the good files in
    // the listing whatever its order.
    QByteArrayList dangling;
    for (int i = 0; i < 8; ++i) {
        dangling.append("y" + QByteArray::number(i) + ".sms");
        QCOMPARE(::symlink("/nonexistent/target", (outDir + dangling.last()).constData()), 0);
    }
    QStringList expectedErrors = {
        QStringLiteral("List index out of bounds (0)"), // nul.sms
        QStringLiteral("List index out of bounds (0)"), // zeros.sms
        QStringLiteral("List index out of bounds (1)"), // no-breaks.sms
        QStringLiteral("List index out of bounds (1)"), // endless.sms
        QStringLiteral("Cannot open file ") + QString::fromLatin1(outDir + "x.sms"),
        QStringLiteral("Cannot open file ") + QString::fromLatin1(outDir + "z.sms"),
    };
    for (const QByteArray& name : dangling)
        expectedErrors.append(QStringLiteral("Cannot open file ") + QString::fromLatin1(outDir + name));

    // Entries that are no message files at all: left alone without a word.
    QVERIFY(writeBytes(outDir + "upper.SMS", "1\r\n2\r\nupper case\r\n"));
    QVERIFY(writeBytes(outDir + "notes.txt", "1\r\n2\r\nnot a kind\r\n"));
    QVERIFY(writeBytes(outDir + "plain.sms.bak", "1\r\n2\r\nnot a kind either\r\n"));

    // Message files another process still holds open for writing.
    const QByteArrayList busy = { "busy1.sms", "busy2.sms", "busy3.ring" };
    const QByteArray busyContent = "999\r\n000\r\nwritten slowly\r\n";
    QProcess writer;
    writer.start(QStringLiteral("sh"),
        { QStringLiteral("-c"),
            QStringLiteral("exec 3>\"$1\" 4>\"$2\" 5>\"$3\"; for fd in 3 4 5; do printf '999\\r\\n000\\r\\nwritten "
                           "slowly\\r\\n' >&$fd; done; echo ready; read _"),
            QStringLiteral("sh"), QFile::decodeName(outDir + busy[0]), QFile::decodeName(outDir + busy[1]),
            QFile::decodeName(outDir + busy[2]) });
    QVERIFY(writer.waitForStarted());
    QTRY_VERIFY(writer.canReadLine());
    QCOMPARE(writer.readLine(), QByteArray("ready\n"));

    const QByteArrayList before = entries(outDir);
    QCOMPARE(before.size(), good.size() + 6 + dangling.size() + 3 + busy.size());

    engine->link().start();
    QTRY_VERIFY(view.green);

    // Tick until every good file has left the outbox; a file that holds up
    // the queue makes this run out of ticks.
    auto goodLeft = [&] {
        const QByteArrayList now = entries(outDir);
        return std::count_if(good.begin(), good.end(), [&](const auto& g) { return now.contains(g.first); });
    };
    const long peakBefore = peakResidentKilobytes();
    int ticks = 0;
    for (; ticks < 200 && goodLeft() > 0; ++ticks) {
        tick();
        QTest::qWait(1);
    }
    QCOMPARE(goodLeft(), 0);
    QVERIFY2(peakResidentKilobytes() - peakBefore < 16 * 1024,
        qPrintable(QStringLiteral("peak memory grew by %1 kB").arg(peakResidentKilobytes() - peakBefore)));
    QTRY_COMPARE(gateway->messages().size(), good.size());
    QTRY_COMPARE(engine->link().unansweredCount(), 0);

    // A few more ticks change nothing: each error was shown once.
    for (int i = 0; i < 10; ++i)
        tick();
    QTest::qWait(50);
    QStringList errors = view.errors;
    errors.sort();
    expectedErrors.sort();
    QCOMPARE(errors, expectedErrors);
    QCOMPARE(gateway->messages().size(), good.size());

    // Each good file reached the gateway exactly once, byte for byte.
    QList<QByteArray> expected;
    for (const auto& [name, content] : good) {
        const char command = MessageKinds::byExtension(extensionOf(name))->command;
        expected.append(record(content, command));
    }
    QList<QByteArray> sent = gateway->messages();
    std::sort(sent.begin(), sent.end());
    std::sort(expected.begin(), expected.end());
    QCOMPARE(sent, expected);

    // Nothing lost: what left the outbox is in the backup directory, whole.
    const QByteArrayList backups = entries(bakDir);
    QCOMPARE(backups.size(), good.size());
    QList<QByteArray> backedUp;
    for (const QByteArray& b : backups) {
        QVERIFY2(b.startsWith("SmsFile_2007_3_5_9_4_"), b.constData());
        const QByteArray path = bakDir + b;
        if (QFileInfo(QFile::decodeName(path)).size() == HundredMegabytes)
            backedUp.append(head(path, bigHead.size()));
        else
            backedUp.append(head(path, 4096));
    }
    QList<QByteArray> contents;
    for (const auto& g : good)
        contents.append(g.second);
    std::sort(backedUp.begin(), backedUp.end());
    std::sort(contents.begin(), contents.end());
    QCOMPARE(backedUp, contents);
    QByteArrayList left = before;
    for (const auto& g : good)
        left.removeOne(g.first);
    QCOMPARE(entries(outDir), left);

    // The busy files waited without a word; once closed they go too.
    for (const QByteArray& b : busy)
        QVERIFY(entries(outDir).contains(b));
    const int errorsBefore = int(view.errors.size());
    writer.closeWriteChannel();
    QVERIFY(writer.waitForFinished());
    for (int i = 0; i < 20
         && entries(outDir).contains(busy[0]) + entries(outDir).contains(busy[1]) + entries(outDir).contains(busy[2]);
         ++i)
        tick();
    for (const QByteArray& b : busy)
        QVERIFY(!entries(outDir).contains(b));
    QTRY_COMPARE(gateway->messages().size(), good.size() + busy.size());
    QCOMPARE(view.errors.size(), errorsBefore);
    QCOMPARE(entries(bakDir).size(), good.size() + busy.size());
    QCOMPARE(gateway->messages().count(record(busyContent, 'N')), 2);
    QCOMPARE(gateway->messages().count(record(busyContent, 'M')), 1);

    // Nothing was reported lost, and the link still runs. The last replies
    // may still be on their way when the gateway has the last message.
    QTRY_COMPARE_WITH_TIMEOUT(view.appended.count("Transaction Success..."), good.size() + busy.size(), 60000);
    for (const QByteArray& line : view.appended) {
        QVERIFY2(!line.startsWith("No reply for") && !line.startsWith("Cannot move"), line.constData());
        QVERIFY(line != "Socket Error" && line != "Socket Disconnect");
    }
    QVERIFY(engine->link().isConnected());
}

void TestHostileOutbox::fileRemovedBetweenSearchAndRead()
{
    // The tick cannot be paused between its search and its read, so the race
    // is played out on the outbox the tick uses, step by step.
    QVERIFY(writeBytes(outDir + "gone.sms", "1\r\n2\r\nremoved by its writer\r\n"));
    QCOMPARE(engine->outbox().findNextMessageFile(outDir), QByteArray("gone.sms"));
    QCOMPARE(::unlink((outDir + "gone.sms").constData()), 0);
    GatewayRecord::Message message;
    Outbox::Read read = Outbox::Read::Yes;
    runGuarded(view, [&] { read = engine->outbox().readMessageFile(outDir, "gone.sms", &message); });
    QCOMPARE(read, Outbox::Read::Gone);
    QVERIFY(view.errors.isEmpty());
    QVERIFY(engine->outbox().findNextMessageFile(outDir).isEmpty());
}

void TestHostileOutbox::backupDirectoryIsTheOutbox()
{
    // Backups moved into the outbox would be found and sent again on every
    // tick. The same directory under another name must be seen through too.
    const QByteArray sameDir = outDir + "./";
    QCOMPARE(::symlink(outDir.constData(), (bakDir + "link").constData()), 0);
    for (const QByteArray& backup : { outDir, sameDir, bakDir + "link/" }) {
        view = RecordingView();
        startEngine(QByteArray::number(gateway->server.serverPort()), Key, clock);
        settings.replace(
            { outDir, backup, "127.0.0.1", QByteArray::number(gateway->server.serverPort()), "user", "secret", Key });
        const QByteArray name = "once-" + QByteArray::number(backup.size()) + ".sms";
        QVERIFY(writeBytes(outDir + name, "1\r\n2\r\nsent at most once\r\n"));
        const qsizetype sentBefore = gateway->messages().size();
        engine->link().start();
        QTRY_VERIFY(view.green);
        for (int i = 0; i < 5; ++i)
            tick();
        QTest::qWait(50);
        QCOMPARE(gateway->messages().size(), sentBefore);
        QCOMPARE(entries(outDir), QByteArrayList { name });
        QByteArrayList moves;
        for (const QByteArray& line : view.appended) {
            if (line.startsWith("Cannot move "))
                moves.append(line);
        }
        QCOMPARE(moves.size(), 1); // said once, and the file stays
        QVERIFY(moves.first().startsWith("Cannot move " + outDir + name + " to " + backup + "SmsFile_"));
        QVERIFY(::unlink((outDir + name).constData()) == 0);
    }
}

QTEST_GUILESS_MAIN(TestHostileOutbox)
#include "tst_hostile_outbox.moc"
