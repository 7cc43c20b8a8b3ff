#include "GoToWeb.h"
#include "recordingstarter.h"

#include <QHash>
#include <QSet>
#include <QTest>

using BrowserKeys = QHash<QByteArray, std::optional<QByteArray>>;

namespace {

// A class registry held in memory. A path maps to its default value; nullopt
// marks a key that exists without one.
class FakeRegistry : public BrowserRegistry
{
public:
    BrowserKeys keys;
    QSet<QByteArray*> open;
    int opened = 0;

    Key openKey(Key parent, const QByteArray& subKey) override
    {
        const QByteArray path = parent ? *static_cast<QByteArray*>(parent) + '\\' + subKey : subKey;
        if (!keys.contains(path))
            return nullptr;
        auto* handle = new QByteArray(path);
        open.insert(handle);
        ++opened;
        return handle;
    }

    std::optional<QByteArray> defaultValue(Key key) override
    {
        auto* handle = static_cast<QByteArray*>(key);
        if (!open.contains(handle))
            qFatal("default value of a key that is not open");
        return keys.value(*handle);
    }

    void closeKey(Key key) override
    {
        auto* handle = static_cast<QByteArray*>(key);
        if (!open.remove(handle))
            qFatal("closing a key that is not open");
        delete handle;
    }

    ~FakeRegistry() override { qDeleteAll(open); }
};

} // namespace

class TestGoToWeb : public QObject
{
    Q_OBJECT

    // A launcher with a fake registry holding one .HTML command.
    struct Rig
    {
        TGoToWeb web;
        FakeRegistry* registry;
        RecordingStarter* starter;

        explicit Rig(const QByteArray& command = {})
        {
            auto r = std::make_unique<FakeRegistry>();
            auto s = std::make_unique<RecordingStarter>();
            registry = r.get();
            starter = s.get();
            if (!command.isEmpty()) {
                registry->keys.insert(".HTML", QByteArray("htmlfile"));
                registry->keys.insert("htmlfile\\shell\\open\\command", command);
            }
            web.setPlatform(std::move(r), std::move(s));
            web.setUrl(QStringLiteral("https://gw.example/buy"));
        }
    };

private Q_SLOTS:
    void defaults()
    {
        TGoToWeb web;
        QVERIFY(web.Url().startsWith(u"http"));
        QVERIFY(web.EMail().contains(u'@'));
        QVERIFY(web.EMailSubject().isEmpty());
        QCOMPARE(web.BrowserState(), gwMaximized);
    }

    void splitCommand_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("args");

        QTest::newRow("quoted path, option, quoted placeholder")
            << QStringLiteral("\"C:\\Program Files\\Web\\web.EXE\" -nohome \"%1\"")
            << QStringLiteral("C:\\Program Files\\Web\\web.EXE") << QStringLiteral("-nohome");
        QTest::newRow("extension ends the command")
            << QStringLiteral("C:\\Web\\web.exe") << QStringLiteral("C:\\Web\\web.exe") << QString();
        QTest::newRow("quoted path, quoted placeholder only")
            << QStringLiteral("\"C:\\Web\\web.exe\" \"%1\"") << QStringLiteral("C:\\Web\\web.exe") << QString();
        QTest::newRow("mixed case") << QStringLiteral("C:\\Web\\web.ExE %1") << QStringLiteral("C:\\Web\\web.ExE")
                                    << QString();
        QTest::newRow("batch file") << QStringLiteral("c:\\go.bat -a %1") << QStringLiteral("c:\\go.bat")
                                    << QStringLiteral("-a");
        QTest::newRow("com program") << QStringLiteral("C:\\GO.Com %1") << QStringLiteral("C:\\GO.Com") << QString();
        QTest::newRow("right-most extension decides")
            << QStringLiteral("\"C:\\Web\\web.exe\" -profile C:\\p\\home.com -new \"%1\"")
            << QStringLiteral("C:\\Web\\web.exe\" -profile C:\\p\\home.com") << QStringLiteral("-new");
        QTest::newRow("extension inside a word")
            << QStringLiteral("C:\\old.exe.d\\web -x") << QStringLiteral("C:\\old.exe") << QStringLiteral(".d\\web -x");
        QTest::newRow("placeholder joined to an option")
            << QStringLiteral("web.exe -url=%1 -new-window") << QStringLiteral("web.exe")
            << QStringLiteral("-url= -new-window");
        QTest::newRow("quotes inside arguments all dropped")
            << QStringLiteral("web.exe -dir \"C:\\My Folder\" \"%1\"") << QStringLiteral("web.exe")
            << QStringLiteral("-dir C:\\My Folder");
        QTest::newRow("lone percent keeps the blank after it")
            << QStringLiteral("web.exe -a % -b %L") << QStringLiteral("web.exe") << QStringLiteral("-a  -b");
        QTest::newRow("controls trimmed, tab is not a blank")
            << QStringLiteral("web.exe\t -a \t%1\r\n") << QStringLiteral("web.exe") << QStringLiteral("-a");
        QTest::newRow("only the first quote goes")
            << QStringLiteral("\"\"web.exe\"") << QStringLiteral("\"web.exe") << QString();
        QTest::newRow("bare extension") << QStringLiteral(".exe") << QStringLiteral(".exe") << QString();
    }

    void splitCommand()
    {
        QFETCH(QString, command);
        QFETCH(QString, program);
        QFETCH(QString, args);
        QString got = QStringLiteral("stale");
        QCOMPARE(splitBrowserCommand(command, &got), program);
        QCOMPARE(got, args);
    }

    void noProgramExtensionMeansNoBrowser_data()
    {
        QTest::addColumn<QString>("command");
        QTest::newRow("no extension") << QStringLiteral("/usr/bin/web %1");
        QTest::newRow("shorter than four") << QStringLiteral("exe");
        QTest::newRow("extension without dot") << QStringLiteral("webexe %1");
        QTest::newRow("non-ASCII letters do not fold") << QStringLiteral("web.ＥＸＥ");
    }

    void noProgramExtensionMeansNoBrowser()
    {
        QFETCH(QString, command);
        Rig rig(command.toUtf8());
        QCOMPARE(rig.web.FindBrowser(), QString());
        QCOMPARE(rig.web.browserArgs(), QString());
        QVERIFY(!rig.web.OpenUrl());
        QVERIFY(rig.starter->starts.isEmpty());
    }

    void findBrowserSetsArgs()
    {
        Rig rig("\"C:\\Web\\web.exe\" -nohome \"%1\"");
        QCOMPARE(rig.web.FindBrowser(), QStringLiteral("C:\\Web\\web.exe"));
        QCOMPARE(rig.web.browserArgs(), QStringLiteral("-nohome"));
        QVERIFY(rig.registry->open.isEmpty());
    }

    void registryFallbacks_data()
    {
        using Keys = BrowserKeys;
        QTest::addColumn<Keys>("keys");
        QTest::addColumn<QString>("command");

        QTest::newRow(".HTM without default value, .HTML usable") << Keys { { ".HTM", std::nullopt },
            { ".HTM\\shell\\open\\command", QByteArray("htm.exe") }, { ".HTML", QByteArray("htmlfile") },
            { "htmlfile\\shell\\open\\command", QByteArray("html.exe %1") } }
                                                                  << QStringLiteral("html.exe %1");
        QTest::newRow("empty default value, own command used")
            << Keys { { ".HTM", QByteArray() }, { ".HTM\\shell\\open\\command", QByteArray("own.exe %1") },
                   { ".HTML", QByteArray("htmlfile") }, { "htmlfile\\shell\\open\\command", QByteArray("html.exe") } }
            << QStringLiteral("own.exe %1");
        QTest::newRow("no default value, own command passed over")
            << Keys { { ".HTM", std::nullopt }, { ".HTM\\shell\\open\\command", QByteArray("own.exe") },
                   { ".SHTML", QByteArray("shtmlfile") }, { "shtmlfile\\shell\\open\\command", QByteArray("s.exe") } }
            << QStringLiteral("s.exe");
        QTest::newRow("file type's command wins over the class key's own") << Keys { { ".HTM", QByteArray("htmfile") },
            { "htmfile\\shell\\open\\command", QByteArray("type.exe") },
            { ".HTM\\shell\\open\\command", QByteArray("own.exe") } } << QStringLiteral("type.exe");
        QTest::newRow("file type without command key falls back to own") << Keys { { ".HTM", QByteArray("htmfile") },
            { ".HTM\\shell\\open\\command", QByteArray("own.exe") } } << QStringLiteral("own.exe");
        QTest::newRow("file type's command empty falls back to own") << Keys { { ".HTM", QByteArray("htmfile") },
            { "htmfile\\shell\\open\\command", QByteArray() }, { ".HTM\\shell\\open\\command", QByteArray("own.exe") } }
                                                                     << QStringLiteral("own.exe");
        QTest::newRow("file type's command without value falls back to own")
            << Keys { { ".HTM", QByteArray("htmfile") }, { "htmfile\\shell\\open\\command", std::nullopt },
                   { ".HTM\\shell\\open\\command", QByteArray("own.exe") } }
            << QStringLiteral("own.exe");
        QTest::newRow("nothing usable under .HTM goes on to .HTML")
            << Keys { { ".HTM", QByteArray("htmfile") }, { ".HTM\\shell\\open\\command", QByteArray() },
                   { ".HTML", QByteArray() }, { ".HTML\\shell\\open\\command", QByteArray("html.exe") } }
            << QStringLiteral("html.exe");
        QTest::newRow(".SHTML before .SHTM")
            << Keys { { ".SHTM", QByteArray() }, { ".SHTM\\shell\\open\\command", QByteArray("shtm.exe") },
                   { ".SHTML", QByteArray() }, { ".SHTML\\shell\\open\\command", QByteArray("shtml.exe") } }
            << QStringLiteral("shtml.exe");
        QTest::newRow("only .SHTM") << Keys { { ".SHTM", QByteArray() },
            { ".SHTM\\shell\\open\\command", QByteArray("shtm.exe") } }
                                    << QStringLiteral("shtm.exe");
        QTest::newRow("all four absent") << Keys {} << QString();
        QTest::newRow("all four without commands") << Keys { { ".HTM", QByteArray() }, { ".HTML", std::nullopt },
            { ".SHTML", QByteArray("gone") }, { ".SHTM", QByteArray() } }
                                                   << QString();
    }

    void registryFallbacks()
    {
        QFETCH(BrowserKeys, keys);
        QFETCH(QString, command);
        FakeRegistry registry;
        registry.keys = keys;
        QCOMPARE(ReadBrowserCommand(registry), command);
        // Every key opened on the way is closed again.
        QVERIFY(registry.open.isEmpty());
        if (!keys.isEmpty())
            QVERIFY(registry.opened > 0);
    }

    void openUrlStartsBrowserWithParameterText_data()
    {
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("parameters");
        QTest::newRow("option and placeholder")
            << QByteArray("\"C:\\Web\\WEB.exe\" -nohome \"%1\"") << QStringLiteral("C:\\Web\\WEB.exe")
            << QStringLiteral("-nohome https://gw.example/buy");
        QTest::newRow("nothing after the program")
            << QByteArray("C:\\Web\\web.exe") << QStringLiteral("C:\\Web\\web.exe")
            << QStringLiteral(" https://gw.example/buy");
        QTest::newRow("placeholder only")
            << QByteArray("\"C:\\Web\\web.exe\" \"%1\"") << QStringLiteral("C:\\Web\\web.exe")
            << QStringLiteral(" https://gw.example/buy");
    }

    void openUrlStartsBrowserWithParameterText()
    {
        QFETCH(QByteArray, command);
        QFETCH(QString, program);
        QFETCH(QString, parameters);
        Rig rig(command);
        QVERIFY(rig.web.OpenUrl());
        QCOMPARE(rig.starter->starts.size(), 1);
        QCOMPARE(rig.starter->starts[0].program, program);
        QCOMPARE(rig.starter->starts[0].parameters, parameters);
        QCOMPARE(rig.starter->starts[0].show, 3);
    }

    void twoCallsOpenTheSameAddress()
    {
        // "Buy SMS" and the web-site item share one launcher.
        Rig rig("\"C:\\Web\\web.exe\" -new \"%1\"");
        rig.web.setBrowserState(gwNormal);
        QVERIFY(rig.web.OpenUrl());
        QVERIFY(rig.web.OpenUrl());
        QCOMPARE(rig.starter->starts.size(), 2);
        QCOMPARE(rig.starter->starts[0].program, rig.starter->starts[1].program);
        QCOMPARE(rig.starter->starts[1].parameters, QStringLiteral("-new https://gw.example/buy"));
        QCOMPARE(rig.starter->starts[0].parameters, rig.starter->starts[1].parameters);
        QCOMPARE(rig.starter->starts[1].show, 1);
    }

    void registryReadAnewEachCall()
    {
        Rig rig("first.exe");
        QVERIFY(rig.web.OpenUrl());
        rig.registry->keys.insert("htmlfile\\shell\\open\\command", QByteArray("second.exe -x"));
        QVERIFY(rig.web.OpenUrl());
        QCOMPARE(rig.starter->starts[1].program, QStringLiteral("second.exe"));
        QCOMPARE(rig.starter->starts[1].parameters, QStringLiteral("-x https://gw.example/buy"));
        // An emptied registry starts nothing, even though arguments were found before.
        rig.registry->keys.clear();
        QVERIFY(!rig.web.OpenUrl());
        QCOMPARE(rig.starter->starts.size(), 2);
    }

    void failedStartReportsFalse()
    {
        Rig rig("web.exe");
        rig.starter->result = false;
        QVERIFY(!rig.web.OpenUrl());
        QCOMPARE(rig.starter->starts.size(), 1);
    }

    void withoutRegistryThePlatformOpensTheAddress()
    {
        TGoToWeb web;
        auto s = std::make_unique<RecordingStarter>();
        RecordingStarter* starter = s.get();
        web.setPlatform(nullptr, std::move(s));
        web.setUrl(QStringLiteral("https://gw.example/"));
        web.setBrowserState(gwNormal);
        QCOMPARE(web.FindBrowser(), QString());
        QVERIFY(web.OpenUrl());
        QVERIFY(web.OpenUrl());
        QCOMPARE(starter->opens.size(), 2);
        QCOMPARE(starter->opens[0].program, QStringLiteral("https://gw.example/"));
        QCOMPARE(starter->opens[1].program, starter->opens[0].program);
        QCOMPARE(starter->opens[1].show, 1);
        QVERIFY(starter->starts.isEmpty());
        starter->result = false;
        QVERIFY(!web.OpenUrl());
    }
};

QTEST_GUILESS_MAIN(TestGoToWeb)
#include "tst_gotoweb.moc"
