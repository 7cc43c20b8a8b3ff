#include "outbox.h"
#include "recordingview.h"
#include "smserror.h"

#include "testsupport.h"
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {
// Byte paths throughout: names need not be valid in any encoding.
void writeRaw(const QByteArray& path, const QByteArray& data)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    QVERIFY2(fd >= 0, path.constData());
    QCOMPARE(::write(fd, data.constData(), size_t(data.size())), ssize_t(data.size()));
    ::close(fd);
}

QByteArray readRaw(const QByteArray& path)
{
    QByteArray data;
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "<unreadable>";
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0)
        data.append(buf, n);
    ::close(fd);
    return data;
}

bool exists(const QByteArray& path)
{
    struct stat st
    {
    };
    return ::lstat(path.constData(), &st) == 0;
}

// Many empty files, made with plain system calls to keep it quick.
bool createFiles(const QByteArray& dir, const QByteArray& prefix, int from, int to, const char* ext)
{
    for (int i = from; i < to; ++i) {
        const QByteArray name = dir + prefix + QByteArray::number(i) + ext;
        const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0)
            return false;
        ::close(fd);
    }
    return true;
}

// The walk counts entries, not time, so a memory file system (when there is
// one) saves the test most of its disk work.
QTemporaryDir* bigDir()
{
    if (QFileInfo(QStringLiteral("/dev/shm")).isWritable())
        return new QTemporaryDir(QStringLiteral("/dev/shm/tst_outbox-XXXXXX"));
    return new QTemporaryDir;
}

volatile std::sig_atomic_t sigioCount = 0;
void countSigio(int)
{
    sigioCount = sigioCount + 1;
}
} // namespace

class TestOutbox : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void kinds();
    void kindOrder();
    void nameOrder_data();
    void nameOrder();
    void indexFollowsChanges();
    void overflowRecovery();
    void caseAndNames();
    void emptyOrMissingOutbox();
    void largeOutbox();
    void backupNameAndArchive_data();
    void backupNameAndArchive();
    void readMessageFile();
    void readErrors();
    void fileStillBeingWritten();
    void writerOpeningDuringRead();
    void passOver();

private:
    QByteArray file(const QByteArray& name) const { return m_out + name; }

    QScopedPointer<QTemporaryDir> m_tmp;
    QByteArray m_out; // outbox directory, with its trailing separator
};

void TestOutbox::init()
{
    m_tmp.reset(new QTemporaryDir);
    QVERIFY(m_tmp->isValid());
    m_out = QFile::encodeName(m_tmp->path()) + '/';
}

void TestOutbox::kinds()
{
    const auto& order = MessageKinds::searchOrder;
    QCOMPARE(QByteArray(order[0].extension), QByteArray(".sms"));
    QCOMPARE(QByteArray(order[1].extension), QByteArray(".ring"));
    QCOMPARE(QByteArray(order[2].extension), QByteArray(".lnol"));
    QCOMPARE(QByteArray(order[3].extension), QByteArray(".flh"));
    QCOMPARE(MessageKinds::byExtension(".sms")->command, 'N');
    QCOMPARE(MessageKinds::byExtension(".lnol")->command, 'L');
    QCOMPARE(MessageKinds::byExtension(".ring")->command, 'M');
    QCOMPARE(MessageKinds::byExtension(".flh")->command, 'F');
    QVERIFY(!MessageKinds::byExtension(".SMS"));
    QVERIFY(!MessageKinds::byExtension("sms"));
    QVERIFY(!MessageKinds::byExtension(".sms "));
    QVERIFY(!MessageKinds::byExtension(""));

    QCOMPARE(extensionOf("a.sms"), QByteArray(".sms"));
    QCOMPARE(extensionOf("a.b.ring"), QByteArray(".ring"));
    QCOMPARE(extensionOf("x.sms.txt"), QByteArray(".txt"));
    QCOMPARE(extensionOf("noext"), QByteArray());
    QCOMPARE(extensionOf(".flh"), QByteArray(".flh"));
}

void TestOutbox::kindOrder()
{
    Outbox outbox;
    writeRaw(file("b.ring"), "1\r\n2\r\n3\r\n");
    writeRaw(file("a.sms"), "1\r\n2\r\n3\r\n");
    QCOMPARE(outbox.findNextMessageFile(m_out), QByteArray("a.sms"));
    QVERIFY(QFile::remove(QFile::decodeName(file("a.sms"))));
    QCOMPARE(outbox.findNextMessageFile(m_out), QByteArray("b.ring"));

    // ".ring" goes before ".lnol", which goes before ".flh".
    writeRaw(file("c.flh"), "");
    writeRaw(file("d.lnol"), "");
    QCOMPARE(outbox.findNextMessageFile(m_out), QByteArray("b.ring"));
    QVERIFY(QFile::remove(QFile::decodeName(file("b.ring"))));
    QCOMPARE(outbox.findNextMessageFile(m_out), QByteArray("d.lnol"));
    QVERIFY(QFile::remove(QFile::decodeName(file("d.lnol"))));
    QCOMPARE(outbox.findNextMessageFile(m_out), QByteArray("c.flh"));

    // Any kind of entry matches, a directory too; reading it fails later.
    QVERIFY(QDir().mkdir(QFile::decodeName(file("dir.sms"))));
    QCOMPARE(outbox.findNextMessageFile(m_out), QByteArray("dir.sms"));

    // A directory typed without its separator is searched all the same.
    QByteArray noSeparator = m_out;
    noSeparator.chop(1);
    QCOMPARE(outbox.findNextMessageFile(noSeparator), QByteArray("dir.sms"));
}

void TestOutbox::nameOrder_data()
{
    QTest::addColumn<bool>("walk");
    QTest::addColumn<QByteArrayList>("created");
    QTest::addColumn<QByteArrayList>("sent");
    const QList<std::tuple<const char*, QByteArrayList, QByteArrayList>> rows = {
        { "numbered", { "0003.sms", "0010.sms", "0001.sms", "0002.sms" },
            { "0001.sms", "0002.sms", "0003.sms", "0010.sms" } },
        { "bytes", { "b.sms", "\xe9.sms", "B.sms", "a.sms", "a.sms.sms" },
            { "B.sms", "a.sms", "a.sms.sms", "b.sms", "\xe9.sms" } },
        { "kinds", { "z.flh", "a.flh", "m.lnol", "b.ring", "a.ring", "z.sms", "b.sms" },
            { "b.sms", "z.sms", "a.ring", "b.ring", "m.lnol", "a.flh", "z.flh" } },
    };
    // The index and the walk (a network file system) give one order.
    for (const bool walk : { false, true }) {
        for (const auto& [tag, created, sent] : rows)
            QTest::addRow("%s-%s", tag, walk ? "walk" : "index") << walk << created << sent;
    }
}

void TestOutbox::nameOrder()
{
    QFETCH(bool, walk);
    QFETCH(QByteArrayList, created);
    QFETCH(QByteArrayList, sent);
    Outbox outbox;
    QByteArrayList probed;
    outbox.setFileSystemProbe([&](const QByteArray& dir) {
        probed.append(dir);
        return walk;
    });
    QCOMPARE(outbox.findNextMessageFile(m_out), QByteArray());
    QCOMPARE(probed, QByteArrayList { m_out });
    for (const QByteArray& name : created)
        writeRaw(file(name), "1\r\n2\r\n3\r\n");
    QByteArrayList order;
    for (QByteArray name; !(name = outbox.findNextMessageFile(m_out)).isEmpty() && order.size() <= sent.size();) {
        QCOMPARE(outbox.lastSearchWalked(), walk);
        order.append(name);
        QCOMPARE(::unlink(file(name).constData()), 0);
    }
    QCOMPARE(order, sent);
    QCOMPARE(outbox.fullScans(), walk ? 0 : 1);
}

void TestOutbox::indexFollowsChanges()
{
    Outbox outbox;
    QCOMPARE(outbox.findNextMessageFile(m_out), QByteArray());

    // Written under another name, then renamed into place.
    writeRaw(file("x.tmp"), "1\r\n2\r\n3\r\n");
    QCOMPARE(outbox.findNextMessageFile(m_out), QByteArray());
    QCOMPARE(::rename(file("x.tmp").constData(), file("x.sms").constData()), 0);
    QCOMPARE(outbox.findNextMessageFile(m_out), QByteArray("x.sms"));
    // Moved out again, and a ring tone moved in from elsewhere.
    const QByteArray elsewhere = QFile::encodeName(m_tmp->path()) + "-elsewhere.ring";
    writeRaw(elsewhere, "1\r\n2\r\n3\r\n");
    QCOMPARE(::rename(file("x.sms").constData(), elsewhere.chopped(5).append(".sms").constData()), 0);
    QCOMPARE(::rename(elsewhere.constData(), file("y.ring").constData()), 0);
    QCOMPARE(outbox.findNextMessageFile(m_out), QByteArray("y.ring"));
    QCOMPARE(::unlink(elsewhere.chopped(5).append(".sms").constData()), 0);
    QCOMPARE(outbox.lastWalkVisited(), 0);
    QCOMPARE(outbox.fullScans(), 1);

    // The outbox removed: nothing, and no watch; re-created: watched and
    // scanned afresh.
    QVERIFY(QDir(QFile::decodeName(m_out)).removeRecursively());
    QCOMPARE(outbox.findNextMessageFile(m_out), QByteArray());
    QVERIFY(outbox.lastSearchWalked());
    QVERIFY(QDir().mkdir(QFile::decodeName(m_out)));
    writeRaw(file("again.sms"), "1\r\n2\r\n3\r\n");
    QCOMPARE(outbox.findNextMessageFile(m_out), QByteArray("again.sms"));
    QVERIFY(!outbox.lastSearchWalked());
    QCOMPARE(outbox.fullScans(), 2);
    writeRaw(file("after.sms"), "1\r\n2\r\n3\r\n");
    QCOMPARE(outbox.findNextMessageFile(m_out), QByteArray("after.sms"));

    // The outbox moved away: its new place is not the outbox.
    const QByteArray moved = QFile::encodeName(m_tmp->path()) + "-moved";
    QByteArray outNoSlash = m_out;
    outNoSlash.chop(1);
    QCOMPARE(::rename(outNoSlash.constData(), moved.constData()), 0);
    QCOMPARE(outbox.findNextMessageFile(m_out), QByteArray());
    QCOMPARE(::rename(moved.constData(), outNoSlash.constData()), 0);
    QCOMPARE(outbox.findNextMessageFile(m_out), QByteArray("after.sms"));

    // The outbox setting changed: the other directory is scanned and
    // followed, and so is this one again when it comes back.
    const QByteArray other = QFile::encodeName(m_tmp->path()) + "-other/";
    QVERIFY(QDir().mkdir(QFile::decodeName(other)));
    writeRaw(other + "b.flh", "1\r\n2\r\n3\r\n");
    const qsizetype scans = outbox.fullScans();
    QCOMPARE(outbox.findNextMessageFile(other), QByteArray("b.flh"));
    writeRaw(other + "a.flh", "1\r\n2\r\n3\r\n");
    QCOMPARE(outbox.findNextMessageFile(other), QByteArray("a.flh"));
    QCOMPARE(outbox.findNextMessageFile(m_out), QByteArray("after.sms"));
    QCOMPARE(outbox.fullScans(), scans + 2);
    QVERIFY(QDir(QFile::decodeName(other)).removeRecursively());
}

void TestOutbox::overflowRecovery()
{
    // More files at once than the kernel queues events for (a create and a
    // close each): the queue overflows and one full scan recovers.
    QFile limitFile(QStringLiteral("/proc/sys/fs/inotify/max_queued_events"));
    const int queued = limitFile.open(QIODevice::ReadOnly) ? limitFile.readAll().trimmed().toInt() : 16384;
    if (queued > 200000)
        QSKIP("the event queue is too long to overflow here");
    QScopedPointer<QTemporaryDir> tmp(bigDir());
    QVERIFY(tmp->isValid());
    const QByteArray dir = QFile::encodeName(tmp->path()) + '/';
    Outbox outbox;
    QCOMPARE(outbox.findNextMessageFile(dir), QByteArray());
    const int count = queued / 2 + 100;
    QVERIFY(createFiles(dir, "f", 0, count, ".ring"));
    // The scan runs in a thread of its own: slow under the sanitizers on a busy machine.
    QTRY_COMPARE_WITH_TIMEOUT(outbox.findNextMessageFile(dir), QByteArray("f0.ring"), 60000);
    QCOMPARE(outbox.fullScans(), 2);
    QCOMPARE(outbox.indexedCount(), count);
    // Followed again by events from there on.
    writeRaw(dir + "late.sms", "");
    QCOMPARE(outbox.findNextMessageFile(dir), QByteArray("late.sms"));
    QCOMPARE(outbox.fullScans(), 2);
}

void TestOutbox::caseAndNames()
{
    Outbox outbox;
    // Upper-case extensions are never picked, and do not hold up the rest.
    writeRaw(file("A.SMS"), "1\r\n2\r\n3\r\n");
    writeRaw(file("B.Sms"), "1\r\n2\r\n3\r\n");
    writeRaw(file("x.sms.txt"), "1\r\n2\r\n3\r\n");
    writeRaw(file("y.smsx"), "1\r\n2\r\n3\r\n");
    writeRaw(file("sms"), "1\r\n2\r\n3\r\n");
    writeRaw(file("z.RING"), "1\r\n2\r\n3\r\n");
    QCOMPARE(outbox.findNextMessageFile(m_out), QByteArray());

    writeRaw(file("later.flh"), "1\r\n2\r\n3\r\n");
    QCOMPARE(outbox.findNextMessageFile(m_out), QByteArray("later.flh"));
    writeRaw(file("e\xe9.sms"), "1\r\n2\r\n3\r\n"); // names are bytes
    QCOMPARE(outbox.findNextMessageFile(m_out), QByteArray("e\xe9.sms"));
    QVERIFY(exists(file("A.SMS")));
    QCOMPARE(::unlink(file("e\xe9.sms").constData()), 0); // QTemporaryDir removes by QString name
}

void TestOutbox::emptyOrMissingOutbox()
{
    Outbox outbox;
    QCOMPARE(outbox.findNextMessageFile(m_out), QByteArray());
    QVERIFY(outbox.lastWalkVisited() <= 2);
    QCOMPARE(outbox.findNextMessageFile(m_out + "missing/"), QByteArray());
    // A plain file in place of the outbox.
    writeRaw(file("plain"), "x");
    QCOMPARE(outbox.findNextMessageFile(file("plain") + "/"), QByteArray());
}

void TestOutbox::largeOutbox()
{
    const int count = 100000;
    QScopedPointer<QTemporaryDir> tmp(bigDir());
    QVERIFY(tmp->isValid());
    const QByteArray dir = QFile::encodeName(tmp->path()) + '/';
    QVERIFY(createFiles(dir, "m", 0, count / 2, ".flh"));
    writeRaw(dir + "tone.ring", "");
    writeRaw(dir + "urgent.sms", "");
    QVERIFY(createFiles(dir, "m", count / 2, count, ".flh"));

    // Too many to read at once: the scan runs beside the caller, who gets
    // nothing until it is done.
    Outbox outbox;
    QCOMPARE(outbox.findNextMessageFile(dir), QByteArray());
    QTRY_COMPARE_WITH_TIMEOUT(outbox.findNextMessageFile(dir), QByteArray("urgent.sms"), 60000);
    QCOMPARE(outbox.indexedCount(), count + 2);
    QCOMPARE(outbox.lastWalkVisited(), 0);
    QCOMPARE(outbox.fullScans(), 1);
    QCOMPARE(::unlink((dir + "urgent.sms").constData()), 0);
    QCOMPARE(outbox.findNextMessageFile(dir), QByteArray("tone.ring"));
    QCOMPARE(::unlink((dir + "tone.ring").constData()), 0);
    QCOMPARE(outbox.findNextMessageFile(dir), QByteArray("m0.flh"));
    QCOMPARE(outbox.lastWalkVisited(), 0);

    // The walk reads the whole directory for the same answer.
    Outbox walking;
    walking.setFileSystemProbe([](const QByteArray&) { return true; });
    QCOMPARE(walking.findNextMessageFile(dir), QByteArray("m0.flh"));
    QCOMPARE(walking.lastWalkVisited(), count + 2);
}

void TestOutbox::backupNameAndArchive_data()
{
    QTest::addColumn<bool>("acrossFileSystems");
    QTest::newRow("same file system") << false;
    // Outbox in memory, backup on the working disk: rename() cannot do it.
    QTest::newRow("across file systems") << true;
}

void TestOutbox::backupNameAndArchive()
{
    QFETCH(bool, acrossFileSystems);
    FixedClock clock;
    const QByteArray backup = QFile::encodeName(m_tmp->path()) + "/backup/";
    QVERIFY(QDir().mkdir(QFile::decodeName(backup)));
    QTemporaryDir shm(QStringLiteral("/dev/shm/tst_outbox-XXXXXX"));
    if (acrossFileSystems) {
        struct stat a
        {
        };
        struct stat b
        {
        };
        if (!shm.isValid() || ::stat("/dev/shm", &a) != 0 || ::stat(backup.constData(), &b) != 0
            || a.st_dev == b.st_dev)
            QSKIP("no second file system at /dev/shm");
        m_out = QFile::encodeName(shm.path()) + '/';
    }
    // Never a half-copied file left under any name in the backup directory.
    auto backupHolds = [&] { return QDir(QFile::decodeName(backup)).entryList(QDir::Files | QDir::Hidden); };
    QCOMPARE(Outbox::backupName(backup, ".ring", clock), backup + "SmsFile_2007_3_5_9_4_7_89.ring");
    clock.time = QDateTime(QDate(2010, 11, 12), QTime(13, 14, 15, 0));
    QCOMPARE(Outbox::backupName(backup, ".sms", clock), backup + "SmsFile_2010_11_12_13_14_15_0.sms");
    clock.time = QDateTime(QDate(2007, 3, 5), QTime(9, 4, 7, 89));

    writeRaw(file("a.ring"), "1\r\n2\r\n3\r\n");
    const QByteArray target = Outbox::backupName(backup, ".ring", clock);
    QCOMPARE(Outbox::archiveMessageFile(m_out, "a.ring", target), Fs::Moved::Yes);
    QVERIFY(!exists(file("a.ring")));
    QCOMPARE(readRaw(target), QByteArray("1\r\n2\r\n3\r\n"));
    QCOMPARE(backupHolds(), QStringList { QStringLiteral("SmsFile_2007_3_5_9_4_7_89.ring") });

    // The same name again (same millisecond): the move fails, nothing is
    // overwritten and the file stays in the outbox.
    writeRaw(file("b.ring"), "other\r\n2\r\n3\r\n");
    QCOMPARE(Outbox::archiveMessageFile(m_out, "b.ring", target), Fs::Moved::Failed);
    QCOMPARE(readRaw(file("b.ring")), QByteArray("other\r\n2\r\n3\r\n"));
    QCOMPARE(readRaw(target), QByteArray("1\r\n2\r\n3\r\n"));
    QCOMPARE(backupHolds(), QStringList { QStringLiteral("SmsFile_2007_3_5_9_4_7_89.ring") });

    // Another program's file under the temporary name: not touched, no move.
    if (acrossFileSystems) {
        const QByteArray other = Outbox::backupName(backup, ".sms", FixedClock());
        writeRaw(other + ".part", "not ours");
        QCOMPARE(Outbox::archiveMessageFile(m_out, "b.ring", other), Fs::Moved::Failed);
        QCOMPARE(readRaw(other + ".part"), QByteArray("not ours"));
        QVERIFY(exists(file("b.ring")) && !exists(other));
        QVERIFY(::unlink((other + ".part").constData()) == 0);
    }

    // A backup directory that is not there: the file stays too, and is not
    // taken for one another sender moved.
    const QByteArray lost = Outbox::backupName(backup + "missing/", ".ring", clock);
    QCOMPARE(Outbox::archiveMessageFile(m_out, "b.ring", lost), Fs::Moved::Failed);
    QVERIFY(exists(file("b.ring")));
    QCOMPARE(Outbox::archiveMessageFile(m_out, "gone.ring", backup + "x.ring"), Fs::Moved::Gone);
    QCOMPARE(backupHolds(), QStringList { QStringLiteral("SmsFile_2007_3_5_9_4_7_89.ring") });
}

void TestOutbox::readMessageFile()
{
    Outbox outbox;
    GatewayRecord::Message m;

    writeRaw(file("a.sms"), "+391234567\r\nSender\r\nHello \xe9\xff world\r\n");
    QCOMPARE(outbox.readMessageFile(m_out, "a.sms", &m), Outbox::Read::Yes);
    QCOMPARE(m.destination, QByteArray("+391234567"));
    QCOMPARE(m.sender, QByteArray("Sender"));
    QCOMPARE(m.text, QByteArray("Hello \xe9\xff world"));
    QVERIFY(exists(file("a.sms"))); // reading leaves the file in place

    // A fourth line is ignored; the third may be empty; lone LFs, no break at
    // the end.
    writeRaw(file("b.sms"), "1\r\n2\r\n3\r\nfourth\r\n");
    QCOMPARE(outbox.readMessageFile(m_out, "b.sms", &m), Outbox::Read::Yes);
    QCOMPARE(m.text, QByteArray("3"));
    writeRaw(file("c.sms"), "1\n2\n\n");
    QCOMPARE(outbox.readMessageFile(m_out, "c.sms", &m), Outbox::Read::Yes);
    QCOMPARE(m.sender, QByteArray("2"));
    QCOMPARE(m.text, QByteArray());
    writeRaw(file("d.sms"), "1\r2\rlast");
    QCOMPARE(outbox.readMessageFile(m_out, "d.sms", &m), Outbox::Read::Yes);
    QCOMPARE(m.text, QByteArray("last"));
    // LF CR is two line ends, so the text is the empty line between them.
    writeRaw(file("e.sms"), "1\r\n2\n\rtext\r\n");
    QCOMPARE(outbox.readMessageFile(m_out, "e.sms", &m), Outbox::Read::Yes);
    QCOMPARE(m.text, QByteArray());

    // A long first line does not cut the others short.
    const QByteArray longLine(200000, 'x');
    writeRaw(file("f.sms"), longLine + "\r\n2\r\n3");
    QCOMPARE(outbox.readMessageFile(m_out, "f.sms", &m), Outbox::Read::Yes);
    QCOMPARE(m.destination, longLine);
    QCOMPARE(m.text, QByteArray("3"));
}

void TestOutbox::readErrors()
{
    Outbox outbox;
    GatewayRecord::Message m;

    writeRaw(file("two.sms"), "1\r\n2\r\n");
    QCOMPARE(
        errorOf([&] { outbox.readMessageFile(m_out, "two.sms", &m); }), QStringLiteral("List index out of bounds (2)"));
    writeRaw(file("empty.sms"), "");
    QCOMPARE(errorOf([&] { outbox.readMessageFile(m_out, "empty.sms", &m); }),
        QStringLiteral("List index out of bounds (0)"));
    writeRaw(file("nul.sms"), QByteArray("1\r\n2") + '\0' + "\r\n3\r\n");
    QCOMPARE(
        errorOf([&] { outbox.readMessageFile(m_out, "nul.sms", &m); }), QStringLiteral("List index out of bounds (2)"));
    QVERIFY(exists(file("two.sms")));

    QVERIFY(QDir().mkdir(QFile::decodeName(file("x.sms"))));
    QCOMPARE(errorOf([&] { outbox.readMessageFile(m_out, "x.sms", &m); }),
        QStringLiteral("Cannot open file ") + QFile::decodeName(file("x.sms")));

    // Taken away between the search and the read: nothing to send, no error.
    writeRaw(file("gone.sms"), "1\r\n2\r\n3\r\n");
    QCOMPARE(outbox.findNextMessageFile(m_out).endsWith(".sms"), true);
    QVERIFY(QFile::remove(QFile::decodeName(file("gone.sms"))));
    Outbox::Read read = Outbox::Read::Yes;
    QCOMPARE(errorOf([&] { read = outbox.readMessageFile(m_out, "gone.sms", &m); }), QStringLiteral("<no error>"));
    QCOMPARE(read, Outbox::Read::Gone);
}

void TestOutbox::fileStillBeingWritten()
{
    Outbox outbox;
    GatewayRecord::Message m;
    const QByteArray path = file("busy.sms");
    writeRaw(path, "1\r\n2\r\n3\r\n");

    // Another program keeps the file open for writing.
    QProcess writer;
    writer.start(QStringLiteral("/bin/sh"),
        { QStringLiteral("-c"), QStringLiteral("exec 3>>\"$1\"; echo ready; exec sleep 30"), QStringLiteral("sh"),
            QFile::decodeName(path) });
    QVERIFY(writer.waitForStarted());
    QVERIFY(writer.waitForReadyRead(10000));
    QVERIFY(writer.readAllStandardOutput().startsWith("ready"));
    QCOMPARE(writer.state(), QProcess::Running);

    Outbox::Read read = Outbox::Read::Yes;
    QCOMPARE(errorOf([&] { read = outbox.readMessageFile(m_out, "busy.sms", &m); }), QStringLiteral("<no error>"));
    QCOMPARE(read, Outbox::Read::Waiting);
    QVERIFY(m.destination.isEmpty());
    QVERIFY(exists(path));

    writer.kill();
    QVERIFY(writer.waitForFinished());
    QTRY_VERIFY_WITH_TIMEOUT(outbox.readMessageFile(m_out, "busy.sms", &m) == Outbox::Read::Yes, 5000);
    QCOMPARE(m.text, QByteArray("3"));
}

void TestOutbox::writerOpeningDuringRead()
{
    // A program opening the file for writing while it is being read must
    // neither kill nor disturb the reader.
    GatewayRecord::Message m;
    const QByteArray path = file("big.sms");
    writeRaw(path, QByteArray(32 * 1024 * 1024, 'x') + "\r\n2\r\n3\r\n");
    {
        // Without leases here the reader cannot hold a writer off at all.
        const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
        QVERIFY(fd >= 0);
        const bool leases = ::fcntl(fd, F_SETLEASE, F_RDLCK) == 0;
        ::close(fd);
        if (!leases)
            QSKIP("no file leases on this file system");
    }

    sigioCount = 0;
    struct sigaction catcher
    {
    };
    struct sigaction saved
    {
    };
    catcher.sa_handler = countSigio;
    QCOMPARE(::sigaction(SIGIO, &catcher, &saved), 0);

    int pipeFds[2];
    QCOMPARE(::pipe(pipeFds), 0);
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        // Open and close for writing, over and over, until the open has been
        // refused a few times because a reader held the file (a long cap for
        // a loaded machine); report how often.
        ::close(pipeFds[0]);
        int refused = 0;
        timespec start {}, now {};
        ::clock_gettime(CLOCK_MONOTONIC, &start);
        do {
            const int fd = ::open(path.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0)
                ::close(fd);
            else if (errno == EWOULDBLOCK)
                ++refused;
            ::clock_gettime(CLOCK_MONOTONIC, &now);
        } while (refused < 3 && now.tv_sec - start.tv_sec < 120);
        [[maybe_unused]] const ssize_t n = ::write(pipeFds[1], &refused, sizeof refused);
        ::_exit(0);
    }
    ::close(pipeFds[1]);

    Outbox outbox;
    int reads = 0;
    QStringList problems;
    int status = 0;
    while (::waitpid(child, &status, WNOHANG) == 0) {
        try {
            if (outbox.readMessageFile(m_out, "big.sms", &m) == Outbox::Read::Yes) {
                ++reads;
                if (m.text != "3")
                    problems.append(QStringLiteral("text read as ") + QString::fromLatin1(m.text.left(20)));
            }
        } catch (const SmsError& e) {
            problems.append(e.text());
        }
    }
    int refused = 0;
    QCOMPARE(::read(pipeFds[0], &refused, sizeof refused), ssize_t(sizeof refused));
    ::close(pipeFds[0]);
    ::sigaction(SIGIO, &saved, nullptr);

    QCOMPARE(int(sigioCount), 0);
    QCOMPARE(problems, QStringList());
    QVERIFY2(refused > 0, "the writer never met the reader");
    qInfo("%d whole reads, the writer was held off %d times", reads, refused);
    QCOMPARE(outbox.readMessageFile(m_out, "big.sms", &m), Outbox::Read::Yes);
}

void TestOutbox::passOver()
{
    Outbox outbox;
    writeRaw(file("bad.sms"), "only one line\r\n");
    writeRaw(file("good.flh"), "1\r\n2\r\n3\r\n");
    QCOMPARE(outbox.findNextMessageFile(m_out), QByteArray("bad.sms"));
    outbox.passOver(m_out, "bad.sms");
    QCOMPARE(outbox.passedOverCount(), 1);
    QCOMPARE(outbox.findNextMessageFile(m_out), QByteArray("good.flh"));
    QCOMPARE(outbox.findNextMessageFile(m_out), QByteArray("good.flh"));

    // Rewritten with another size: tried again.
    writeRaw(file("bad.sms"), "1\r\n2\r\n3\r\n");
    QCOMPARE(outbox.findNextMessageFile(m_out), QByteArray("bad.sms"));

    // Same size, new modification time: tried again as well.
    outbox.passOver(m_out, "bad.sms");
    QCOMPARE(outbox.findNextMessageFile(m_out), QByteArray("good.flh"));
    timespec times[2] = { { 0, UTIME_OMIT }, { 1234567890, 5 } };
    QCOMPARE(::utimensat(AT_FDCWD, file("bad.sms").constData(), times, 0), 0);
    QCOMPARE(outbox.findNextMessageFile(m_out), QByteArray("bad.sms"));

    // Only passed-over names are skipped.
    outbox.passOver(m_out, "bad.sms");
    outbox.passOver(m_out, "good.flh");
    QCOMPARE(outbox.findNextMessageFile(m_out), QByteArray());
}

QTEST_GUILESS_MAIN(TestOutbox)
#include "tst_outbox.moc"
