#include "startoptions.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

class TestStartOptions : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init()
    {
        QVERIFY(m_root.isValid());
        m_previous = QDir::currentPath();
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_root.filePath(QStringLiteral("data"))));
        QVERIFY(QDir(m_root.path()).mkpath(QStringLiteral("given/jos\u00e9")));
    }
    void cleanup() { QDir::setCurrent(m_previous); }

    void workingDirectory_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("workDir"); // under the scratch root; empty: unchanged
        QTest::addColumn<bool>("entered");
        QTest::newRow("terminal start") << QStringList() << QString() << true;
        QTest::newRow("--workdir") << QStringList { QStringLiteral("--workdir"), QStringLiteral("@/given/jos\u00e9") }
                                   << QStringLiteral("given/jos\u00e9") << true;
        QTest::newRow("--desktop, first start")
            << QStringList { QStringLiteral("--desktop") } << QStringLiteral("data/marlek-sms-sender") << true;
        QTest::newRow("--workdir wins") << QStringList { QStringLiteral("--desktop"),
            QStringLiteral("--workdir=@/given") }
                                        << QStringLiteral("given") << true;
        // A mistyped folder is not made: the program says so and stops.
        QTest::newRow("--workdir missing")
            << QStringList { QStringLiteral("--workdir"), QStringLiteral("@/missing") } << QString() << false;
    }

    void workingDirectory()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, workDir);
        QFETCH(bool, entered);
        arguments.replaceInStrings(QStringLiteral("@"), m_root.path());
        arguments.prepend(QStringLiteral("MarlekSMSSender"));
        QCommandLineParser parser;
        addStartOptions(parser);
        QVERIFY(parser.parse(arguments));

        QString error;
        QCOMPARE(enterWorkDir(startOptions(parser), &error), entered);
        QCOMPARE(error.isEmpty(), entered);
        const QString expected = workDir.isEmpty() ? m_previous : m_root.filePath(workDir);
        QCOMPARE(QFileInfo(QDir::currentPath()).canonicalFilePath(), QFileInfo(expected).canonicalFilePath());
        QVERIFY(!QFileInfo::exists(m_root.filePath(QStringLiteral("missing"))));
    }

    void resultCommand_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("command"); // "@" stands for the start directory
        QTest::newRow("none") << QStringList() << QString();
        QTest::newRow("in PATH") << QStringList { QStringLiteral("--on-result"), QStringLiteral("sms-hook") }
                                 << QStringLiteral("sms-hook");
        QTest::newRow("relative, with --workdir")
            << QStringList { QStringLiteral("--workdir=@/given"), QStringLiteral("--on-result=hooks/my hook.sh") }
            << QStringLiteral("@/hooks/my hook.sh");
        QTest::newRow("absolute") << QStringList { QStringLiteral("--on-result"), QStringLiteral("/opt/x/hook") }
                                  << QStringLiteral("/opt/x/hook");
        // The metrics file too is taken from where the program was started.
        QTest::newRow("metrics file, relative, with --workdir") << QStringList { QStringLiteral("--workdir=@/given"),
            QStringLiteral("--metrics=stats/sms.prom") } << QString();
    }

    void resultCommand()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, command);
        arguments.replaceInStrings(QStringLiteral("@"), m_root.path());
        arguments.prepend(QStringLiteral("MarlekSMSSender"));
        QVERIFY(QDir::setCurrent(m_root.path()));
        QCommandLineParser parser;
        addStartOptions(parser);
        QVERIFY(parser.parse(arguments));
        const StartOptions options = startOptions(parser);
        QString error;
        QVERIFY(enterWorkDir(options, &error));
        QCOMPARE(options.engine.onResult, command.replace(QStringLiteral("@"), m_root.path()));
    }

    void desktopFolderIsTheUsersOwn()
    {
        QCOMPARE(desktopWorkDir(), m_root.filePath(QStringLiteral("data/marlek-sms-sender")));
        QString error;
        StartOptions desktop;
        desktop.workDir = desktopWorkDir();
        desktop.createWorkDir = true;
        QVERIFY(enterWorkDir(desktop, &error));
        QCOMPARE(QFileInfo(desktopWorkDir()).permissions() & 0x0077, QFileDevice::Permissions());
    }

private:
    QTemporaryDir m_root;
    QString m_previous;
};

QTEST_GUILESS_MAIN(TestStartOptions)
#include "tst_startoptions.moc"
