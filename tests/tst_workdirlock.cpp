#include "testsupport.h"
#include "workdirlock.h"

#include <QDateTime>
#include <QFileInfo>
#include <QLockFile>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>

#include <sys/wait.h>
#include <unistd.h>

class TestWorkdirLock : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void oneCopyPerFolder_data();
    void oneCopyPerFolder();
};

void TestWorkdirLock::oneCopyPerFolder_data()
{
    QTest::addColumn<QString>("holder");
    QTest::addColumn<bool>("taken");
    QTest::newRow("free folder") << "none" << true;
    QTest::newRow("another running copy") << "running" << false;
    QTest::newRow("left by a killed copy") << "killed" << true;
    // A shared folder: whether that copy still runs cannot be told from here,
    // and a lock is never stale by its age, be the writer's clock behind or ahead.
    QTest::newRow("another host's copy, a month ago") << "elsewhere -2592000" << false;
    QTest::newRow("another host's copy, a clock a day ahead") << "elsewhere 86400" << false;
}

void TestWorkdirLock::oneCopyPerFolder()
{
    QFETCH(QString, holder);
    QFETCH(bool, taken);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QString::fromLatin1(WorkdirLock::FileName));
    QLockFile other(path);
    if (holder == QLatin1String("running")) {
        QVERIFY(other.tryLock(0));
    } else if (holder == QLatin1String("killed")) {
        // A copy that took the lock and died without a word.
        const pid_t child = ::fork();
        if (child == 0) {
            QLockFile lock(path);
            ::_exit(lock.tryLock(0) ? 0 : 1);
        }
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QCOMPARE(WEXITSTATUS(status), 0);
        QVERIFY(QFile::exists(path));
    } else if (holder.startsWith(QLatin1String("elsewhere"))) {
        // As QLockFile writes it: process, program, host name, host and boot ids.
        const QByteArray otherId = "0123456789abcdef0123456789abcdef";
        QVERIFY(QSysInfo::machineUniqueId() != otherId);
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QVERIFY(f.write("4242\nmarlek-smsd\nelsewhere.invalid\n" + otherId + '\n' + otherId + '\n') > 0);
        const QDateTime written = QDateTime::currentDateTime().addSecs(holder.section(u' ', 1).toLongLong());
        QVERIFY(f.flush() && f.setFileTime(written, QFileDevice::FileModificationTime));
        f.close();
        QCOMPARE(QFileInfo(path).lastModified().secsTo(written), 0);
    }
    const QByteArray before = readRaw(path);
    WorkdirLock lock;
    QCOMPARE(errorOf([&] { lock.lock(dir.path()); }),
        taken ? QStringLiteral("<no error>") : QStringLiteral("The program is already running in this folder."));
    QCOMPARE(lock.isLocked(), taken);
    // While it is held, the next copy is turned away.
    if (taken)
        QCOMPARE(errorOf([&] { WorkdirLock().lock(dir.path()); }), WorkdirLock::alreadyRunningText());
    else
        QCOMPARE(readRaw(path), before); // left as it was
}

QTEST_GUILESS_MAIN(TestWorkdirLock)
#include "tst_workdirlock.moc"
