#include "settings.h"
#include "smserror.h"

#include "testsupport.h"
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {
QByteArray readRaw(const QByteArray& path)
{
    QFile f(QFile::decodeName(path));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

void writeRaw(const QByteArray& path, const QByteArray& data)
{
    QFile f(QFile::decodeName(path));
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(data), data.size());
}

unsigned modeOf(const QByteArray& path)
{
    struct stat st
    {
    };
    return ::stat(path.constData(), &st) == 0 ? unsigned(st.st_mode & 07777) : 0xffffffffu;
}

// Files in a directory, so a failed save can be seen to leave nothing behind.
QStringList entries(const QString& dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}
} // namespace

class TestSettings : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void missingFile();
    void roundTrip();
    void unevenKeyFields();
    void extraLinesDropped();
    void shortFile();
    void emptyDirectory_data();
    void emptyDirectory();
    void createsParents();
    void failedSaveKeepsOldFile();

private:
    Settings sample() const;

    QScopedPointer<QTemporaryDir> m_tmp;
    QByteArray m_dir; // with its trailing separator
    QByteArray m_file;
};

void TestSettings::init()
{
    m_tmp.reset(new QTemporaryDir);
    QVERIFY(m_tmp->isValid());
    m_dir = QFile::encodeName(m_tmp->path()) + '/';
    m_file = m_dir + SettingsStore::FileName;
}

Settings TestSettings::sample() const
{
    Settings s;
    s.outboxDir = m_dir + "out/";
    s.backupDir = m_dir + "back/";
    s.serverAddress = "127.0.0.1";
    s.serverPort = "2000";
    s.userName = " user "; // blanks are kept as typed
    s.password = "p\xe9ss\xff"; // bytes above 127 unchanged
    s.userKey = "ABCDEFGHIJKLMNOP";
    return s;
}

void TestSettings::missingFile()
{
    SettingsStore store;
    QVERIFY(!store.load(m_file));
    QCOMPARE(store.values(), Settings());
    QVERIFY(!QFile::exists(QFile::decodeName(m_file)));

    // There, but not a file that can be read.
    QVERIFY(QDir().mkdir(QFile::decodeName(m_file)));
    QCOMPARE(errorOf([&] { store.load(m_file); }), QStringLiteral("Cannot open file ") + QFile::decodeName(m_file));
    QCOMPARE(store.values(), Settings());
}

void TestSettings::roundTrip()
{
    const Settings s = sample();
    SettingsStore store;
    store.save(s, m_file);
    QCOMPARE(store.values(), s);
    QCOMPARE(readRaw(m_file),
        s.outboxDir + "\r\n" + s.backupDir
            + "\r\n127.0.0.1\r\n2000\r\n user \r\n"
              "p\xe9ss\xff\r\nABCDEFGHIJKLMNOP\r\n");
    // Holds the password in clear: owner only.
    QCOMPARE(modeOf(m_file), 0600u);
    QVERIFY(QFileInfo(QFile::decodeName(s.outboxDir)).isDir());
    QVERIFY(QFileInfo(QFile::decodeName(s.backupDir)).isDir());

    SettingsStore next;
    QVERIFY(next.load(m_file));
    QCOMPARE(next.values(), s);
    QCOMPARE(splitUserKey(next.values().userKey), (std::array<QByteArray, 4> { "ABCD", "EFGH", "IJKL", "MNOP" }));

    // Saving again replaces the file and the whole store; existing
    // directories are fine.
    Settings changed = s;
    changed.serverPort = "abc"; // not checked here: read as an integer where used
    changed.password.clear();
    store.save(changed, m_file);
    QCOMPARE(store.values(), changed);
    SettingsStore third;
    QVERIFY(third.load(m_file));
    QCOMPARE(third.values(), changed);
    QCOMPARE(entries(m_tmp->path()),
        (QStringList { QStringLiteral("SMS_Key_Client.inf"), QStringLiteral("back"), QStringLiteral("out") }));
}

void TestSettings::unevenKeyFields()
{
    Settings s = sample();
    // Key fields typed as "abc", "defg", "hijk", "lmno".
    s.userKey = QByteArray("abc") + "defg" + "hijk" + "lmno";
    SettingsStore store;
    store.save(s, m_file);
    QVERIFY(readRaw(m_file).endsWith("\r\nabcdefghijklmno\r\n"));

    SettingsStore next;
    QVERIFY(next.load(m_file));
    QCOMPARE(splitUserKey(next.values().userKey), (std::array<QByteArray, 4> { "abcd", "efgh", "ijkl", "mno" }));
    QCOMPARE(splitUserKey("abcdef"), (std::array<QByteArray, 4> { "abcd", "ef", "", "" }));
    QCOMPARE(splitUserKey(""), (std::array<QByteArray, 4> { "", "", "", "" }));
    // Anything past 16 characters has no field to show in.
    QCOMPARE(splitUserKey("ABCDEFGHIJKLMNOPQ"), (std::array<QByteArray, 4> { "ABCD", "EFGH", "IJKL", "MNOP" }));
}

void TestSettings::extraLinesDropped()
{
    // Written by hand, with lone LFs and an eighth line.
    writeRaw(m_file, m_dir + "o/\n" + m_dir + "b/\nhost\n99\nname\npw\nKEYKEYKEYKEYKEY1\neighth\n");
    SettingsStore store;
    QVERIFY(store.load(m_file));
    const Settings loaded = store.values();
    QCOMPARE(loaded.outboxDir, m_dir + "o/");
    QCOMPARE(loaded.serverAddress, QByteArray("host"));
    QCOMPARE(loaded.userKey, QByteArray("KEYKEYKEYKEYKEY1"));

    store.save(loaded, m_file);
    const QByteArray text = readRaw(m_file);
    QVERIFY(!text.contains("eighth"));
    QCOMPARE(text.count("\r\n"), 7);
    QVERIFY(text.endsWith("KEYKEYKEYKEYKEY1\r\n"));
}

void TestSettings::shortFile()
{
    writeRaw(m_file, "/o/\r\n/b/\r\nhost\r\n2000"); // four lines, the last without break
    SettingsStore store;
    QCOMPARE(errorOf([&] { store.load(m_file); }), QStringLiteral("List index out of bounds (4)"));
    Settings expected;
    expected.outboxDir = "/o/";
    expected.backupDir = "/b/";
    expected.serverAddress = "host";
    expected.serverPort = "2000";
    QCOMPARE(store.values(), expected);

    // An empty file fails at the first line.
    writeRaw(m_file, "");
    SettingsStore empty;
    QCOMPARE(errorOf([&] { empty.load(m_file); }), QStringLiteral("List index out of bounds (0)"));
    QCOMPARE(empty.values(), Settings());

    // Empty lines are values too: seven breaks make seven lines.
    writeRaw(m_file, "\r\n\r\n\r\n\r\n\r\n\r\n\r\n");
    SettingsStore blanks;
    QVERIFY(blanks.load(m_file));
    QCOMPARE(blanks.values(), Settings());

    // A NUL byte ends the text, even in the middle of the file.
    writeRaw(m_file, QByteArray("a\r\nb\r\nc") + '\0' + "d\r\ne\r\nf\r\ng\r\n");
    SettingsStore nul;
    QCOMPARE(errorOf([&] { nul.load(m_file); }), QStringLiteral("List index out of bounds (3)"));
    QCOMPARE(nul.values().serverAddress, QByteArray("c"));
}

void TestSettings::emptyDirectory_data()
{
    QTest::addColumn<bool>("outbox");
    QTest::newRow("outbox") << true;
    QTest::newRow("backup") << false;
}

void TestSettings::emptyDirectory()
{
    QFETCH(bool, outbox);
    SettingsStore store;
    const Settings before = sample();
    store.replace(before);
    Settings empty = sample();
    (outbox ? empty.outboxDir : empty.backupDir).clear();
    empty.userName = "changed";
    QCOMPARE(errorOf([&] { store.save(empty, m_file); }), QStringLiteral("Unable to create directory"));
    QVERIFY(!QFile::exists(QFile::decodeName(m_file)));
    QCOMPARE(store.values(), before);
}

void TestSettings::createsParents()
{
    Settings s = sample();
    s.outboxDir = m_dir + "new/outbox/";
    s.backupDir = m_dir + "deeper/still/backup"; // without a trailing separator
    SettingsStore store;
    store.save(s, m_file);
    QVERIFY(QFileInfo(m_tmp->filePath(QStringLiteral("new/outbox"))).isDir());
    QVERIFY(QFileInfo(m_tmp->filePath(QStringLiteral("deeper/still/backup"))).isDir());
    QCOMPARE(store.values(), s);

    // A directory that cannot be made is passed over: the file is still
    // written (the engine reports the directory later).
    const QByteArray plainFile = m_dir + "plain";
    writeRaw(plainFile, "x");
    Settings blocked = sample();
    blocked.outboxDir = plainFile + "/sub/";
    store.save(blocked, m_file);
    QCOMPARE(store.values(), blocked);
    QCOMPARE(readRaw(plainFile), QByteArray("x"));
}

void TestSettings::failedSaveKeepsOldFile()
{
    const Settings old = sample();
    SettingsStore store;
    store.save(old, m_file);
    const QByteArray oldText = readRaw(m_file);

    Settings changed = sample();
    changed.userName = "someone";

    // The target is a directory.
    const QByteArray dirTarget = m_dir + "isdir";
    QVERIFY(QDir().mkdir(QFile::decodeName(dirTarget)));
    QCOMPARE(errorOf([&] { store.save(changed, dirTarget); }),
        QStringLiteral("Cannot create file ") + QFile::decodeName(dirTarget));
    QCOMPARE(store.values(), old);
    QVERIFY(QFileInfo(QFile::decodeName(dirTarget)).isDir());

    // The target is in a missing directory.
    const QByteArray nowhere = m_dir + "missing/SMS_Key_Client.inf";
    QCOMPARE(errorOf([&] { store.save(changed, nowhere); }),
        QStringLiteral("Cannot create file ") + QFile::decodeName(nowhere));
    QCOMPARE(store.values(), old);

    // The write itself fails half way (a file size limit stands in for a
    // full disk): the old file stays whole and no scrap is left beside it.
    struct rlimit saved
    {
    };
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 1024;
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
    Settings huge = sample();
    huge.password = QByteArray(4096, 'p');
    const QString error = errorOf([&] { store.save(huge, m_file); });
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    QCOMPARE(error, QStringLiteral("Cannot create file ") + QFile::decodeName(m_file));
    QCOMPARE(readRaw(m_file), oldText);
    QCOMPARE(modeOf(m_file), 0600u);
    QCOMPARE(store.values(), old);
    QCOMPARE(entries(m_tmp->path()),
        (QStringList { QStringLiteral("SMS_Key_Client.inf"), QStringLiteral("back"), QStringLiteral("isdir"),
            QStringLiteral("out") }));

    // An existing file with wider permissions is narrowed by the next save.
    QVERIFY(::chmod(m_file.constData(), 0644) == 0);
    store.save(changed, m_file);
    QCOMPARE(modeOf(m_file), 0600u);
    QCOMPARE(store.values(), changed);
}

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
