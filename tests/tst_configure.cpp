#include "Main.h"
#include "UConfigure.h"
#include "fsutil.h"
#include "settings.h"
#include "testgateway.h"
#include "windowtestsupport.h"

#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>

namespace {
QLineEdit* field(QWidget* w, const char* name)
{
    QLineEdit* e = w->findChild<QLineEdit*>(QString::fromLatin1(name));
    if (!e)
        qFatal("no field %s", name);
    return e;
}

QPushButton* button(QWidget* w, const char* name)
{
    return w->findChild<QPushButton*>(QString::fromLatin1(name));
}

QStringList results(QWidget* w)
{
    return textLines(w->findChild<QPlainTextEdit*>(QStringLiteral("Memo1")));
}

void type(QWidget* w, const char* name, const QString& text)
{
    field(w, name)->setText(text);
}
} // namespace

class TestConfigure : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void fillsFieldsOnce();
    void shortKeyFillsFirstGroups();
    void saveWritesEnablesAndCloses();
    void saveWithEmptyDirectoryStaysOpen();
    void directoryNamesInTheFileSystemEncoding_data();
    void directoryNamesInTheFileSystemEncoding();
    void exitKeepsEditsButSavesNothing();
    void testUsesUnsavedFields();
    void testRefused();
    void testLookupFailure();
    void testBadPort();

private:
    std::unique_ptr<WindowTestScope> scope;
    SettingsStore settings;
};

void TestConfigure::init()
{
    scope = std::make_unique<WindowTestScope>();
    settings = SettingsStore();
}

void TestConfigure::cleanup()
{
    QTRY_COMPARE(ErrorBoxes::instance().pendingCount(), 0);
    scope.reset();
}

void TestConfigure::fillsFieldsOnce()
{
    writeSettingsFile({ "out/", "bck/", "gw.example", "5000", "user", "p w", "ABCDEFGHIJKLMNOP" });
    EngineWindow main(settings);
    TFormConfigure w(settings, &main);
    QCOMPARE(w.windowTitle(), QStringLiteral("Configure"));
    QCOMPARE(w.size(), QSize(479, 406));
    QCOMPARE(field(&w, "EditOutBox")->text(), QStringLiteral("out/"));
    QCOMPARE(field(&w, "EditBckBox")->text(), QStringLiteral("bck/"));
    QCOMPARE(field(&w, "EditHost")->text(), QStringLiteral("gw.example"));
    QCOMPARE(field(&w, "EditPort")->text(), QStringLiteral("5000"));
    QCOMPARE(field(&w, "EditUserName")->text(), QStringLiteral("user"));
    QCOMPARE(field(&w, "EditUserPassword")->text(), QStringLiteral("p w"));
    QCOMPARE(field(&w, "EditUserPassword")->echoMode(), QLineEdit::Normal);
    QCOMPARE(field(&w, "EditKey1")->text(), QStringLiteral("ABCD"));
    QCOMPARE(field(&w, "EditKey4")->text(), QStringLiteral("MNOP"));
    // The result area starts as one empty line.
    QVERIFY(results(&w).isEmpty());
    QCOMPARE(w.findChild<QPlainTextEdit*>(QStringLiteral("Memo1"))->blockCount(), 1);
    QCOMPARE(button(&w, "Button1")->text(), QStringLiteral("Test Commection"));
    QCOMPARE(button(&w, "Button2")->text(), QStringLiteral("Save"));
    QCOMPARE(button(&w, "Button3")->text(), QStringLiteral("Exit"));

    // A change of the store later does not refill the fields.
    settings.replace({});
    w.show();
    QCOMPARE(field(&w, "EditHost")->text(), QStringLiteral("gw.example"));
}

void TestConfigure::shortKeyFillsFirstGroups()
{
    writeSettingsFile({ "", "", "", "", "", "", "ABCDEF" });
    EngineWindow main(settings);
    TFormConfigure w(settings, &main);
    QCOMPARE(field(&w, "EditKey1")->text(), QStringLiteral("ABCD"));
    QCOMPARE(field(&w, "EditKey2")->text(), QStringLiteral("EF"));
    QVERIFY(field(&w, "EditKey3")->text().isEmpty());
    QVERIFY(field(&w, "EditKey4")->text().isEmpty());
}

void TestConfigure::saveWritesEnablesAndCloses()
{
    EngineWindow main(settings); // no file: Status is off
    QVERIFY(!main.statusMenuEnabled());
    TFormConfigure w(settings, &main);
    main.setConfigureWindow(&w);
    QSignalSpy saved(&w, &TFormConfigure::settingsSaved);
    w.show();
    type(&w, "EditOutBox", QStringLiteral("spool/out/"));
    type(&w, "EditBckBox", QStringLiteral("spool/sent/"));
    type(&w, "EditHost", QStringLiteral("127.0.0.1"));
    type(&w, "EditPort", QStringLiteral("7000"));
    type(&w, "EditUserName", QStringLiteral("name"));
    type(&w, "EditUserPassword", QStringLiteral("secret"));
    type(&w, "EditKey1", QStringLiteral("ABC")); // unequal groups are joined as typed
    type(&w, "EditKey2", QStringLiteral("DEFG"));
    type(&w, "EditKey3", QStringLiteral("HIJK"));
    type(&w, "EditKey4", QStringLiteral("LMNO"));
    button(&w, "Button2")->click();

    QCOMPARE(saved.count(), 1);
    QVERIFY(main.statusMenuEnabled());
    QVERIFY(!w.isVisible());
    QVERIFY(Fs::isDirectory("spool/out") && Fs::isDirectory("spool/sent"));
    const QList<QByteArray> lines { "spool/out/", "spool/sent/", "127.0.0.1", "7000", "name", "secret",
        "ABCDEFGHIJKLMNO" };
    QCOMPARE(TextFile::readLines("SMS_Key_Client.inf"), lines);
    QByteArray raw;
    QVERIFY(Fs::readFile("SMS_Key_Client.inf", &raw));
    QVERIFY(raw.endsWith("LMNO\r\n"));
    QCOMPARE(settings.values().userKey, QByteArray("ABCDEFGHIJKLMNO"));
    QCOMPARE(settings.values().serverPort, QByteArray("7000"));
    QVERIFY(scope->dialogs.errors.isEmpty());
}

void TestConfigure::saveWithEmptyDirectoryStaysOpen()
{
    EngineWindow main(settings);
    TFormConfigure w(settings, &main);
    main.setConfigureWindow(&w);
    w.show();
    type(&w, "EditBckBox", QStringLiteral("sent/"));
    type(&w, "EditHost", QStringLiteral("gw"));
    button(&w, "Button2")->click();
    QTRY_COMPARE(scope->dialogs.errors, QStringList { QStringLiteral("Unable to create directory.") });
    QVERIFY(w.isVisible());
    QVERIFY(!main.statusMenuEnabled());
    QVERIFY(!Fs::exists("SMS_Key_Client.inf"));
    QVERIFY(settings.values() == Settings());
}

void TestConfigure::directoryNamesInTheFileSystemEncoding_data()
{
    QTest::addColumn<QByteArray>("loaded"); // the outbox line of the file at start
    QTest::addColumn<QString>("typed"); // what the operator types over it, if anything
    QTest::addColumn<QByteArray>("saved");
    QTest::addColumn<QString>("shown");
    const QString accented = QStringLiteral("uscita_jos\u00e9/");
    QTest::newRow("typed accent") << QByteArray("out/") << accented << QByteArray("uscita_jos\xc3\xa9/") << accented;
    QTest::newRow("UTF-8 file") << QByteArray("uscita_jos\xc3\xa9/") << QString() << QByteArray("uscita_jos\xc3\xa9/")
                                << accented;
    // A single-byte file from the original program: kept byte for byte.
    QTest::newRow("single-byte file") << QByteArray("uscita_jos\xe9/") << QString() << QByteArray("uscita_jos\xe9/")
                                      << QStringLiteral("uscita_jos\ufffd/");
}

void TestConfigure::directoryNamesInTheFileSystemEncoding()
{
    QFETCH(QByteArray, loaded);
    QFETCH(QString, typed);
    QFETCH(QByteArray, saved);
    QFETCH(QString, shown);
    writeSettingsFile({ loaded, "bck/", "gw", "1", "u", "p", "KKKKKKKKKKKKKKKK" });
    EngineWindow main(settings);
    TFormConfigure w(settings, &main);
    if (!typed.isEmpty())
        type(&w, "EditOutBox", typed);
    QCOMPARE(field(&w, "EditOutBox")->text(), shown);
    button(&w, "Button2")->click();
    QVERIFY(scope->dialogs.errors.isEmpty());
    QCOMPARE(TextFile::readLines("SMS_Key_Client.inf").at(0), saved);
    QCOMPARE(settings.values().outboxDir, saved);
    QVERIFY(Fs::isDirectory(saved));
    if (shown == typed)
        QVERIFY(QFileInfo(scope->path(typed)).isDir()); // found under its own name
}

void TestConfigure::exitKeepsEditsButSavesNothing()
{
    writeSettingsFile({ "out/", "bck/", "gw", "1", "u", "p", "KKKKKKKKKKKKKKKK" });
    EngineWindow main(settings);
    TFormConfigure w(settings, &main);
    w.show();
    type(&w, "EditHost", QStringLiteral("changed"));
    button(&w, "Button3")->click();
    QVERIFY(!w.isVisible());
    QCOMPARE(settings.values().serverAddress, QByteArray("gw"));
    QCOMPARE(TextFile::readLines("SMS_Key_Client.inf").at(2), QByteArray("gw"));
    w.show();
    QCOMPARE(field(&w, "EditHost")->text(), QStringLiteral("changed"));
}

void TestConfigure::testUsesUnsavedFields()
{
    FakeGateway gw;
    QVERIFY(gw.listen());
    EngineWindow main(settings);
    TFormConfigure w(settings, &main);
    type(&w, "EditHost", QStringLiteral("127.0.0.1"));
    type(&w, "EditPort", QString::fromLatin1(gw.port()));
    type(&w, "EditUserName", QStringLiteral("tester"));
    type(&w, "EditUserPassword", QStringLiteral("pw"));
    type(&w, "EditKey1", QStringLiteral("WXYZ"));
    type(&w, "EditKey2", QStringLiteral("1234"));
    type(&w, "EditKey3", QStringLiteral("5678"));
    type(&w, "EditKey4", QStringLiteral("9ABC"));
    button(&w, "Button1")->click();
    QTRY_COMPARE(gw.received.size(), qsizetype(236));
    QCOMPARE(gw.received.left(7), QByteArray("tester\0", 7));
    QCOMPARE(gw.received.mid(20, 16), QByteArray("WXYZ123456789ABC"));
    QCOMPARE(gw.received.at(36), 'P');
    gw.send(FakeGateway::reply('0', "00000042", {}, 236));
    QTRY_COMPARE(results(&w),
        (QStringList { QString(), QStringLiteral("Connecting..."), QStringLiteral("Connected"),
            QStringLiteral("Connection Success..."), QStringLiteral("Messages To Send = : 00000042"),
            QStringLiteral("Disconnected") }));
    // A test changes neither the store nor the main window's log.
    QVERIFY(settings.values() == Settings());
    QCOMPARE(main.engine().log().lines(), QList<QByteArray> { "Log messages..." });
}

void TestConfigure::testRefused()
{
    quint16 port;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        port = probe.serverPort();
    } // closed: nobody listens there now
    EngineWindow main(settings);
    TFormConfigure w(settings, &main);
    type(&w, "EditHost", QStringLiteral("127.0.0.1"));
    type(&w, "EditPort", QString::number(port));
    button(&w, "Button1")->click();
    QTRY_COMPARE(results(&w), (QStringList { QString(), QStringLiteral("Connecting..."), QStringLiteral("Error") }));
    QVERIFY(scope->dialogs.errors.isEmpty());
}

void TestConfigure::testLookupFailure()
{
    EngineWindow main(settings);
    TFormConfigure w(settings, &main);
    type(&w, "EditPort", QStringLiteral("5000")); // the address stays empty
    button(&w, "Button1")->click();
    QTRY_COMPARE(results(&w), (QStringList { QString(), QStringLiteral("Error"), QStringLiteral("Disconnected") }));
}

void TestConfigure::testBadPort()
{
    EngineWindow main(settings);
    TFormConfigure w(settings, &main);
    type(&w, "EditHost", QStringLiteral("127.0.0.1"));
    type(&w, "EditPort", QStringLiteral("50x"));
    button(&w, "Button1")->click();
    QTRY_COMPARE(scope->dialogs.errors, QStringList { QStringLiteral("'50x' is not a valid integer value.") });
    QTest::qWait(20);
    QVERIFY(results(&w).isEmpty());
}

QTEST_MAIN(TestConfigure)
#include "tst_configure.moc"
