#include "Branding.h"
#include "DesktopNotices.h"
#include "GoToWeb.h"
#include "Main.h"
#include "TShape.h"
#include "TrayIcon.h"
#include "UAbout.h"
#include "UConfigure.h"
#include "UMessages.h"
#include "UTest.h"
#include "recordingstarter.h"
#include "settings.h"
#include "testgateway.h"
#include "windowtestsupport.h"

#include <QAction>
#include <QCheckBox>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTimer>

namespace {
const QString NotConfigured
    = QStringLiteral("Attenzione Programma non configurato... Utilizzate il menu <Settings> <Configure Connections> ");

template <typename T> T* child(QObject* parent, const char* name)
{
    T* found = parent->findChild<T*>(QString::fromLatin1(name));
    if (!found)
        qFatal("no child %s", name);
    return found;
}

} // namespace

// The main window and the three it opens.
struct AllWindows
{
    EngineWindow main;
    TFormConfigure configure;
    TFormAbout about;
    TFormTest test;

    explicit AllWindows(SettingsStore& settings)
        : main(settings)
        , configure(settings, &main)
        , about(&main)
        , test(settings, &main)
    {
    }
    QList<QWidget*> windows() { return { &main, &configure, &about, &test }; }
};

class TestMainWindow : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void startWithoutSettings();
    void startWithSettings();
    void shortSettingsFile();
    void menusAndLayout();
    void messagesAndNoticesItems();
    void startAndStopAgainstGateway();
    void activityLightBlinks();
    void testMessageGoesOutOnTheNextTick();
    void exitClosesWithoutDisconnectEvent();
    void pollField_data();
    void pollField();
    void pollFieldIgnoresWindowDeactivation();
    void rotationFromWindowFields();
    void operatorTypingRotates();
    void fileNamesInTheLogKeepTheirBytes();
    void badLineLimitShowsOneBox();
    void trayFollowsTheStatus_data();
    void trayFollowsTheStatus();
    void trayMenuEnabledAsTheWindows();
    void errorPresenterDoesNotStack();
    void errorBoxTextAndTitle();
    void webItemsOpenTheSameAddress();
    void configureOpensModally();
    void everyControlHasAnAccessibleName();
    void screenReadersGetTheShownTexts();
    void everyWindowShowsTheProgramIcon();

private:
    std::unique_ptr<WindowTestScope> scope;
    SettingsStore settings;
};

void TestMainWindow::initTestCase()
{
    // The desktop switch is remembered in a test folder, not the user's.
    QStandardPaths::setTestModeEnabled(true);
}

void TestMainWindow::init()
{
    DesktopNotices::rememberSwitch(true);
    scope = std::make_unique<WindowTestScope>();
    settings = SettingsStore();
}

void TestMainWindow::cleanup()
{
    // Boxes still queued belong to this test's recorder.
    QTRY_COMPARE(ErrorBoxes::instance().pendingCount(), 0);
    scope.reset();
}

void TestMainWindow::startWithoutSettings()
{
    EngineWindow w(settings);
    QCOMPARE(scope->dialogs.messages, QStringList { NotConfigured });
    QVERIFY(!w.statusMenuEnabled());
    QVERIFY(settings.values() == Settings());
    QTest::qWait(20);
    QCOMPARE(scope->dialogs.messages.size(), 1);
    QVERIFY(scope->dialogs.errors.isEmpty());
}

void TestMainWindow::startWithSettings()
{
    writeSettingsFile({ "out/", "bck/", "gw.example", "5000", "user", "pass", "ABCDEFGHIJKLMNOP", "extra" });
    EngineWindow w(settings);
    QVERIFY(scope->dialogs.messages.isEmpty());
    QVERIFY(w.statusMenuEnabled());
    QCOMPARE(settings.values().serverAddress, QByteArray("gw.example"));
    QCOMPARE(settings.values().userKey, QByteArray("ABCDEFGHIJKLMNOP"));
}

void TestMainWindow::shortSettingsFile()
{
    writeSettingsFile({ "out/", "bck/", "gw.example" });
    EngineWindow w(settings);
    // Shown from the event loop, once the window's creation has finished.
    QVERIFY(scope->dialogs.errors.isEmpty());
    QTRY_COMPARE(scope->dialogs.errors, QStringList { QStringLiteral("List index out of bounds (3)") });
    QVERIFY(scope->dialogs.messages.isEmpty());
    QVERIFY(w.statusMenuEnabled());
    QCOMPARE(settings.values().serverAddress, QByteArray("gw.example"));
    QVERIFY(settings.values().serverPort.isEmpty());
}

void TestMainWindow::menusAndLayout()
{
    writeSettingsFile({ "", "", "", "", "", "", "" });
    EngineWindow w(settings);
    // A fixed console, Stop offered only once the link runs, the lights red.
    QVERIFY(!(w.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
    QCOMPARE(w.minimumSize(), w.maximumSize());
    QVERIFY(child<QAction>(&w, "Start1")->isEnabled());
    QVERIFY(!child<QAction>(&w, "Stop1")->isEnabled());
    // The menus keep their items, order and enabling rules; new ones come
    // after them.
    QStringList menus;
    for (QAction* menuAction : w.menuBar()->actions()) {
        QStringList items;
        for (QAction* a : menuAction->menu()->actions())
            items.append(a->text() + (a->isEnabled() ? QString() : QStringLiteral("(off)"))
                + (a->isChecked() ? QStringLiteral("(on)") : QString()));
        menus.append(menuAction->text() + QLatin1Char(':') + items.join(QLatin1Char(',')));
    }
    QCOMPARE(menus,
        (QStringList { QStringLiteral("File:Exit"), QStringLiteral("Settings:Configure Connection,Buy SMS,SMS Test"),
            QStringLiteral("Status:Start,Stop(off),View Actions(on),Messages,Desktop Notices(on)"),
            QStringLiteral("About:Release Info,MARLEK Web Site") }));

    QCOMPARE(child<TShape>(&w, "Shape1")->brushColor(), QColor(Qt::red));
    QCOMPARE(child<TShape>(&w, "Shape2")->brushColor(), QColor(Qt::red));
    QVERIFY(!child<TShape>(&w, "Shape3")->isFilled());

    // "View Actions" turns its own mark over, and the tick reads it.
    QAction* view = child<QAction>(&w, "ViewActions1");
    view->trigger();
    QVERIFY(!w.engine().options().logFoundFiles);
    view->trigger();
    QVERIFY(w.engine().options().logFoundFiles);
}

void TestMainWindow::messagesAndNoticesItems()
{
    writeSettingsFile({ "out/", "bck/", "", "", "", "", "" });
    {
        EngineWindow w(settings);
        QVERIFY(!w.messagesWindow());
        child<QAction>(&w, "Messages1")->trigger();
        QVERIFY(w.messagesWindow());
        QVERIFY(w.messagesWindow()->isVisible());
        QCOMPARE(w.messagesWindow()->windowTitle(), QStringLiteral("Messages"));
        // Opened again, the same window comes forward.
        TFormMessages* first = w.messagesWindow();
        first->close();
        child<QAction>(&w, "Messages1")->trigger();
        QCOMPARE(w.messagesWindow(), first);
        QVERIFY(first->isVisible());

        QVERIFY(w.notices().isEnabled());
        child<QAction>(&w, "DesktopNotices1")->trigger();
        QVERIFY(!w.notices().isEnabled());
    }
    // Remembered for the next start, outside the settings file.
    EngineWindow again(settings);
    QVERIFY(!child<QAction>(&again, "DesktopNotices1")->isChecked());
    QVERIFY(!again.notices().isEnabled());
    QCOMPARE(TextFile::readLines("SMS_Key_Client.inf").size(), 7);
}

void TestMainWindow::startAndStopAgainstGateway()
{
    FakeGateway gw;
    QVERIFY(gw.listen());
    writeSettingsFile({ "out/", "bck/", "127.0.0.1", gw.port(), "user", "pass", "ABCDEFGHIJKLMNOP" });
    EngineWindow w(settings);
    QPlainTextEdit* log = child<QPlainTextEdit>(&w, "Memo1");
    QAction* start = child<QAction>(&w, "Start1");
    QAction* stop = child<QAction>(&w, "Stop1");

    start->trigger();
    QTRY_COMPARE(gw.received.size(), qsizetype(396));
    QCOMPARE(gw.received.at(36), 'P');
    QCOMPARE(gw.received.left(5), QByteArray("user\0", 5));
    QCOMPARE(child<TShape>(&w, "Shape1")->brushColor(), QColor(Qt::red));

    // Text from the gateway is shown as it is, never as markup.
    gw.send(FakeGateway::reply('0', "00000005", "<b>x</b>"));
    QTRY_COMPARE(child<TShape>(&w, "Shape1")->brushColor(), QColor(Qt::green));
    QCOMPARE(child<TShape>(&w, "Shape2")->brushColor(), QColor(Qt::green));
    QLabel* counter = child<QLabel>(&w, "Panel1");
    QCOMPARE(counter->text(), QStringLiteral("00000005"));
    QCOMPARE(counter->textFormat(), Qt::PlainText);
    QCOMPARE(child<QPlainTextEdit>(&w, "Memo2")->toPlainText(), QStringLiteral("<b>x</b>"));
    QCOMPARE(textLines(log),
        (QStringList { QStringLiteral("Log messages..."), QStringLiteral("Connected"),
            QStringLiteral("Connection Success..."), QStringLiteral("Messages To Send = : 00000005") }));
    QVERIFY(!start->isEnabled());
    QVERIFY(stop->isEnabled());
    QVERIFY(w.engine().tick().polling());
    QCOMPARE(w.engine().tick().interval(), 1000);

    // A message reply with two info lines replaces the panel's text.
    gw.send(FakeGateway::reply('0', "00000004", "one\r\ntwo"));
    QTRY_COMPARE(counter->text(), QStringLiteral("00000004"));
    // A screen reader gets the counter itself, captioned by "Messages:".
    QCOMPARE(accessibleText(counter), QStringLiteral("00000004"));
    QCOMPARE(accessibleLabels(counter), QStringList { QStringLiteral("Messages:") });
    QCOMPARE(child<QPlainTextEdit>(&w, "Memo2")->toPlainText(), QStringLiteral("one\ntwo"));

    stop->trigger();
    QCOMPARE(child<TShape>(&w, "Shape1")->brushColor(), QColor(Qt::red));
    QVERIFY(start->isEnabled());
    QVERIFY(!stop->isEnabled());
    QVERIFY(!w.engine().tick().polling());
    QCOMPARE(textLines(log).last(), QStringLiteral("Socket Disconnect"));
    QCOMPARE(textLines(log).count(QStringLiteral("Socket Disconnect")), 1);
    QTRY_COMPARE(gw.disconnects, 1);
    // The engine's lines and the display agree: nothing was fed back.
    QStringList engineLines;
    for (const QByteArray& line : w.engine().log().lines())
        engineLines.append(QString::fromLatin1(line));
    QCOMPARE(engineLines, textLines(log));
    QVERIFY(scope->dialogs.errors.isEmpty());
}

void TestMainWindow::activityLightBlinks()
{
    FakeGateway gw;
    QVERIFY(gw.listen());
    QVERIFY(QDir().mkdir(QStringLiteral("out")));
    writeSettingsFile({ "out/", "bck/", "127.0.0.1", gw.port(), "user", "pass", "ABCDEFGHIJKLMNOP" });
    EngineWindow w(settings);
    child<QLineEdit>(&w, "Edit3")->setText(QStringLiteral("200"));
    child<QAction>(&w, "Start1")->trigger();
    QTRY_COMPARE(gw.received.size(), qsizetype(396));
    gw.send(FakeGateway::reply('0', "00000000"));
    QTRY_VERIFY(w.engine().tick().polling());
    QCOMPARE(w.engine().tick().interval(), 200);

    // Each tick turns the light over: blue, then the button face, and back.
    TShape* light = child<TShape>(&w, "Shape3");
    QTRY_VERIFY(light->isFilled());
    QSet<QRgb> seen;
    QTRY_VERIFY_WITH_TIMEOUT((seen.insert(light->brushColor().rgb()), seen.size() == 2), 3000);
    QVERIFY(seen.contains(QColor(Qt::blue).rgb()));
    QVERIFY(seen.contains(w.palette().color(QPalette::Button).rgb()));
}

void TestMainWindow::testMessageGoesOutOnTheNextTick()
{
    FakeGateway gw;
    QVERIFY(gw.listen());
    QVERIFY(QDir().mkdir(QStringLiteral("out")));
    QVERIFY(QDir().mkdir(QStringLiteral("bck")));
    writeSettingsFile({ "out/", "bck/", "127.0.0.1", gw.port(), "user", "pass", "ABCDEFGHIJKLMNOP" });
    EngineWindow w(settings);
    TFormTest test(settings, &w);
    child<QLineEdit>(&w, "Edit3")->setText(QStringLiteral("200"));
    child<QAction>(&w, "Start1")->trigger();
    QTRY_COMPARE(gw.received.size(), qsizetype(396));
    gw.send(FakeGateway::reply('0', "00000009"));
    QTRY_VERIFY(w.engine().tick().polling());

    // A "Music" message typed on two lines, as the operator would.
    child<QLineEdit>(&test, "EditTo")->setText(QStringLiteral("3331234567"));
    child<QLineEdit>(&test, "EditFrom")->setText(QStringLiteral("Marlek"));
    child<QRadioButton>(&test, "RadioButtonM")->setChecked(true);
    child<QPlainTextEdit>(&test, "Memo1")->setPlainText(QStringLiteral("Hello\nWorld"));
    child<QPushButton>(&test, "Button1")->click();
    QVERIFY(scope->dialogs.errors.isEmpty());

    QTRY_COMPARE(gw.received.size(), qsizetype(2 * 396));
    const QByteArray record = gw.received.mid(396);
    QCOMPARE(record.at(36), 'M');
    QCOMPARE(record.mid(37, 11), QByteArray("3331234567\0", 11));
    QCOMPARE(record.mid(52, 7), QByteArray("Marlek\0", 7));
    QCOMPARE(record.mid(67, 11), QByteArray("HelloWorld\0", 11));
    QCOMPARE(record.left(20), QByteArray("user\0\0\0\0\0\0pass\0\0\0\0\0\0", 20));
    QTRY_VERIFY(QDir(QStringLiteral("out")).entryList(QDir::Files).isEmpty());
    const QStringList backups = QDir(QStringLiteral("bck")).entryList(QDir::Files);
    QCOMPARE(backups.size(), 1);
    QVERIFY(backups.first().startsWith(QStringLiteral("SmsFile_")));
    QVERIFY(backups.first().endsWith(QStringLiteral(".ring")));
}

void TestMainWindow::exitClosesWithoutDisconnectEvent()
{
    FakeGateway gw;
    QVERIFY(gw.listen());
    writeSettingsFile({ "out/", "bck/", "127.0.0.1", gw.port(), "user", "pass", "ABCDEFGHIJKLMNOP" });
    EngineWindow w(settings);
    w.show();
    QSignalSpy closed(&w, &TFormMain::closed);
    child<QAction>(&w, "Start1")->trigger();
    QTRY_COMPARE(gw.received.size(), qsizetype(396));
    gw.send(FakeGateway::reply('0', "00000001"));
    QTRY_VERIFY(w.engine().tick().polling());

    child<QAction>(&w, "Exit1")->trigger();
    QCOMPARE(closed.count(), 1);
    QVERIFY(!w.isVisible());
    QVERIFY(!w.engine().link().isConnected());
    QVERIFY(!w.engine().tick().polling());
    QTRY_COMPARE(gw.disconnects, 1);
    QVERIFY(!textLines(child<QPlainTextEdit>(&w, "Memo1")).contains(QStringLiteral("Socket Disconnect")));
}

void TestMainWindow::pollField_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("after");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<QStringList>("errors");
    QTest::newRow("150") << "150"
                         << "1000" << QStringList { QStringLiteral("NOT Less Than 200 MSec.") } << QStringList();
    QTest::newRow("-5") << "-5"
                        << "1000" << QStringList { QStringLiteral("NOT Less Than 200 MSec.") } << QStringList();
    QTest::newRow("200") << "200"
                         << "200" << QStringList() << QStringList();
    QTest::newRow("abc") << "abc"
                         << "abc" << QStringList()
                         << QStringList { QStringLiteral("'abc' is not a valid integer value.") };
}

void TestMainWindow::pollField()
{
    QFETCH(QString, typed);
    writeSettingsFile({ "", "", "", "", "", "", "" });
    EngineWindow w(settings);
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QLineEdit* poll = child<QLineEdit>(&w, "Edit3");
    poll->setFocus(Qt::OtherFocusReason);
    QTRY_VERIFY(poll->hasFocus());
    poll->selectAll();
    QTest::keyClicks(poll, typed);
    // Leaving the field for the next control runs the check.
    QTest::keyClick(poll, Qt::Key_Tab);
    QTRY_VERIFY(!poll->hasFocus());
    QFETCH(QStringList, messages);
    QFETCH(QStringList, errors);
    QTRY_COMPARE(scope->dialogs.messages.size() + scope->dialogs.errors.size(), messages.size() + errors.size());
    QTest::qWait(20);
    QCOMPARE(scope->dialogs.messages, messages);
    QCOMPARE(scope->dialogs.errors, errors);
    QTEST(poll->text(), "after");
}

void TestMainWindow::pollFieldIgnoresWindowDeactivation()
{
    writeSettingsFile({ "", "", "", "", "", "", "" });
    EngineWindow w(settings);
    QLineEdit* poll = child<QLineEdit>(&w, "Edit3");
    poll->setText(QStringLiteral("150"));
    // Switching to another program or opening the menu bar is not leaving
    // the field; moving to another control is.
    for (Qt::FocusReason reason : { Qt::ActiveWindowFocusReason, Qt::PopupFocusReason, Qt::MenuBarFocusReason }) {
        QFocusEvent out(QEvent::FocusOut, reason);
        QCoreApplication::sendEvent(poll, &out);
    }
    QTest::qWait(20);
    QVERIFY(scope->dialogs.messages.isEmpty());
    QFocusEvent out(QEvent::FocusOut, Qt::MouseFocusReason);
    QCoreApplication::sendEvent(poll, &out);
    QTRY_COMPARE(scope->dialogs.messages, QStringList { QStringLiteral("NOT Less Than 200 MSec.") });
    QCOMPARE(poll->text(), QStringLiteral("1000"));
}

void TestMainWindow::rotationFromWindowFields()
{
    writeSettingsFile({ "", "", "", "", "", "", "" });
    EngineWindow w(settings);
    QCheckBox* save = child<QCheckBox>(&w, "CheckBox1");
    QLineEdit* limit = child<QLineEdit>(&w, "Edit2");
    QPlainTextEdit* log = child<QPlainTextEdit>(&w, "Memo1");
    limit->setText(QStringLiteral("3"));
    save->click();
    QVERIFY(!save->isChecked());
    QVERIFY(!limit->isEnabled());
    QVERIFY(!child<QLineEdit>(&w, "Edit1")->isEnabled());

    // The start line counts: the third append makes four lines and empties
    // the log; with "Save" off no file is written.
    w.engine().log().info("one");
    w.engine().log().info("two");
    QCOMPARE(textLines(log).size(), 3);
    w.engine().log().info("three");
    QVERIFY(log->toPlainText().isEmpty());
    QVERIFY(w.engine().log().lines().isEmpty());
    QTest::qWait(20);
    QVERIFY(QDir().entryList({ QStringLiteral("*.log") }).isEmpty());

    save->click();
    QVERIFY(limit->isEnabled());
    for (const char* line : { "a", "b", "c", "d" })
        w.engine().log().info(line);
    const QStringList files = QDir().entryList({ QStringLiteral("SmsSender_*.log") });
    QCOMPARE(files.size(), 1);
    QCOMPARE(TextFile::readLines(files.first().toLatin1()), (QList<QByteArray> { "a", "b", "c", "d" }));
    QVERIFY(log->toPlainText().isEmpty());
    QVERIFY(scope->dialogs.errors.isEmpty());
}

void TestMainWindow::operatorTypingRotates()
{
    writeSettingsFile({ "", "", "", "", "", "", "" });
    EngineWindow w(settings);
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QPlainTextEdit* log = child<QPlainTextEdit>(&w, "Memo1");
    child<QLineEdit>(&w, "Edit2")->setText(QStringLiteral("3"));

    // What the operator types becomes the log's lines...
    log->setFocus();
    log->moveCursor(QTextCursor::End);
    QTest::keyClick(log, Qt::Key_Return);
    QTest::keyClicks(log, QStringLiteral("typed"));
    QTRY_COMPARE(w.engine().log().lines(), (QList<QByteArray> { "Log messages...", "typed" }));
    // ...and an engine line goes after it, once.
    w.engine().log().info("engine");
    QCOMPARE(textLines(log),
        (QStringList { QStringLiteral("Log messages..."), QStringLiteral("typed"), QStringLiteral("engine") }));
    QTest::qWait(20);
    QCOMPARE(w.engine().log().lines().size(), 3);

    // A fourth line typed passes the limit: saved and emptied. (keyClicks
    // gives the loop no turn between keys, so the whole word is in.)
    QTest::keyClick(log, Qt::Key_Return);
    QTest::keyClicks(log, QStringLiteral("more"));
    QTRY_VERIFY(log->toPlainText().isEmpty());
    const QStringList files = QDir().entryList({ QStringLiteral("SmsSender_*.log") });
    QCOMPARE(files.size(), 1);
    QCOMPARE(TextFile::readLines(files.first().toLatin1()),
        (QList<QByteArray> { "Log messages...", "typed", "engine", "more" }));
    QVERIFY(w.engine().log().lines().isEmpty());
}

void TestMainWindow::fileNamesInTheLogKeepTheirBytes()
{
    writeSettingsFile({ "", "", "", "", "", "", "" });
    EngineWindow w(settings);
    QPlainTextEdit* log = child<QPlainTextEdit>(&w, "Memo1");
    const QByteArray utf8Name = "Cannot move uscita_jos\xc3\xa9/a.sms to b.sms";
    const QByteArray singleByteName = "Cannot move uscita_jos\xe9/a.sms to b.sms";
    w.engine().log().info(utf8Name);
    w.engine().log().info(singleByteName);
    QCOMPARE(textLines(log).mid(1),
        (QStringList { QStringLiteral("Cannot move uscita_jos\u00e9/a.sms to b.sms"),
            QStringLiteral("Cannot move uscita_jos\u00e9/a.sms to b.sms") }));

    // The operator's typing leaves the engine's lines as they were written.
    log->moveCursor(QTextCursor::End);
    log->insertPlainText(QStringLiteral("\ncaf\u00e9"));
    QTRY_COMPARE(
        w.engine().log().lines(), (QList<QByteArray> { "Log messages...", utf8Name, singleByteName, "caf\xe9" }));
}

void TestMainWindow::badLineLimitShowsOneBox()
{
    writeSettingsFile({ "", "", "", "", "", "", "" });
    EngineWindow w(settings);
    child<QLineEdit>(&w, "Edit2")->setText(QStringLiteral("lots"));
    // Every append fails its rotation check, as on every tick of a running
    // link; the operator gets one box, not one per line, and no line is lost.
    for (int i = 0; i < 5; ++i)
        w.engine().log().info("line");
    QTRY_COMPARE(scope->dialogs.errors, QStringList { QStringLiteral("'lots' is not a valid integer value.") });
    QTest::qWait(20);
    QCOMPARE(scope->dialogs.errors.size(), 1);
    QCOMPARE(w.engine().log().lines().size(), 6);
}

void TestMainWindow::errorPresenterDoesNotStack()
{
    ErrorBoxes& presenter = ErrorBoxes::instance();
    RecordingDialogs& dialogs = scope->dialogs;
    dialogs.holdErrors = true;
    QStringList whileOpen;
    int ticksWhileOpen = 0;
    // Each step once the boxes before it are open and a tick has passed in
    // them, not at set times: on a busy machine timers fire late and together,
    // and a box opened after its closing time would stay open for good. One
    // that never comes is given up after some 10 s, so the test fails.
    int stage = 0;
    int ticksInStage = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, this, [&] {
        if (dialogs.openErrors() > 0)
            ++ticksWhileOpen;
        const bool due = ++ticksInStage > 1;
        const bool givenUp = ticksInStage > 2000;
        if (stage == 0 && due && (dialogs.openErrors() == 1 || givenUp)) {
            presenter.showError(QStringLiteral("Cannot open file x")); // already open: dropped
            presenter.showError(QStringLiteral("Another fault")); // a new text gets its own box
        } else if (stage == 1 && due && (dialogs.openErrors() == 2 || givenUp)) {
            whileOpen = dialogs.errors;
            dialogs.closeError();
        } else if (stage >= 2 && due && dialogs.openErrors() > 0) {
            dialogs.closeError();
        } else {
            return;
        }
        ++stage;
        ticksInStage = 0;
    });
    ticker.start(5);

    presenter.showError(QStringLiteral("Cannot open file x"));
    // The box is not opened inside the handler that reported the error.
    QVERIFY(dialogs.errors.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(presenter.pendingCount(), 0, 60000);
    QCOMPARE(whileOpen, (QStringList { QStringLiteral("Cannot open file x."), QStringLiteral("Another fault.") }));
    // Timer ticks went on while the boxes were open.
    QVERIFY(ticksWhileOpen > 3);

    // Once closed, the same error is shown again.
    dialogs.holdErrors = false;
    presenter.showError(QStringLiteral("Cannot open file x"));
    QTRY_COMPARE(dialogs.errors.size(), 3);
    QCOMPARE(dialogs.errors.last(), QStringLiteral("Cannot open file x."));
}

void TestMainWindow::errorBoxTextAndTitle()
{
    QCOMPARE(errorBoxText(QStringLiteral("abc")), QStringLiteral("abc."));
    QCOMPARE(errorBoxText(QStringLiteral("done.")), QStringLiteral("done."));
    QCOMPARE(errorBoxText(QStringLiteral("(3)")), QStringLiteral("(3)")); // ')' sorts before '.'
    QCOMPARE(errorBoxText(QStringLiteral("a-")), QStringLiteral("a-")); // '-' too
    QCOMPARE(errorBoxText(QStringLiteral("dir/")), QStringLiteral("dir/.")); // '/' after it
    QCOMPARE(errorBoxText(QStringLiteral("caf\u00e9")), QStringLiteral("caf\u00e9."));
    QCOMPARE(errorBoxText(QString()), QString());

    QCOMPARE(titleFromProgramPath(QStringLiteral("/opt/sms/MarlekSMSSender")), QStringLiteral("Marleksmssender"));
    QCOMPARE(titleFromProgramPath(QStringLiteral("/opt/sms/MarlekSMSSender.exe")), QStringLiteral("Marleksmssender"));
    QCOMPARE(titleFromProgramPath(QStringLiteral("/a.b/My.Tool.exe")), QStringLiteral("My"));
    QCOMPARE(titleFromProgramPath(QStringLiteral("/bin/sms")), QStringLiteral("sms")); // the first stays as is
    QCOMPARE(applicationTitle(), QStringLiteral("tst_mainwindow"));

    EngineWindow w(settings); // no settings file: the message box
    QCOMPARE(scope->dialogs.titles, QStringList { QStringLiteral("tst_mainwindow") });
}

void TestMainWindow::webItemsOpenTheSameAddress()
{
    writeSettingsFile({ "", "", "", "", "", "", "" });
    EngineWindow w(settings);
    auto recording = std::make_unique<RecordingStarter>();
    const RecordingStarter& starter = *recording;
    w.goToWeb().setPlatform(nullptr, std::move(recording));
    child<QAction>(&w, "BuySMS1")->trigger();
    child<QAction>(&w, "MARLEKWebSite1")->trigger();
    QCOMPARE(starter.opens.size(), 2);
    for (const Start& open : starter.opens) {
        QCOMPARE(open.program, Branding::operatorUrl());
        QCOMPARE(open.show, 1); // a normal window
    }
    QCOMPARE(w.goToWeb().EMail(), Branding::email());
}

void TestMainWindow::configureOpensModally()
{
    writeSettingsFile({ "", "", "", "", "", "", "" });
    EngineWindow w(settings);
    TFormConfigure configure(settings, &w);
    w.setConfigureWindow(&configure);
    bool wasModal = false;
    QTimer::singleShot(50, this, [&] {
        wasModal = configure.isVisible() && QApplication::activeModalWidget() == &configure;
        configure.reject();
    });
    child<QAction>(&w, "ConfigureConnection1")->trigger(); // returns when closed
    QVERIFY(wasModal);
    QVERIFY(!configure.isVisible());
}

void TestMainWindow::everyControlHasAnAccessibleName()
{
    writeSettingsFile({ "", "", "", "", "", "", "" });
    EngineWindow w(settings);
    TFormConfigure configure(settings, &w);
    for (QWidget* window : std::initializer_list<QWidget*> { &w, &configure }) {
        for (QWidget* c : window->findChildren<QWidget*>()) {
            if (c->objectName().startsWith(QLatin1String("qt_")))
                continue; // Qt's own helpers
            if (qobject_cast<QLineEdit*>(c) || qobject_cast<QPlainTextEdit*>(c) || qobject_cast<TShape*>(c))
                QVERIFY2(!c->accessibleName().isEmpty(), qPrintable(c->objectName()));
            if (auto* b = qobject_cast<QAbstractButton*>(c))
                QVERIFY2(!b->text().isEmpty() || !b->accessibleName().isEmpty(), qPrintable(c->objectName()));
        }
    }
    for (QAction* a : w.findChildren<QAction*>())
        QVERIFY2(!a->text().isEmpty() || a->isSeparator() || a->menu(), qPrintable(a->objectName()));
}

void TestMainWindow::screenReadersGetTheShownTexts()
{
    writeSettingsFile({ "", "", "", "", "", "", "" });
    AllWindows all(settings);
    TFormMain& w = all.main;
    // The empty counter is read by its caption until the gateway answers.
    QLabel* counter = child<QLabel>(&w, "Panel1");
    QCOMPARE(accessibleText(counter), QStringLiteral("Messages:"));
    QCOMPARE(accessibleLabels(counter), QStringList { QStringLiteral("Messages:") });
    for (const QString& text : { QStringLiteral("Version:  2.1.0"), Branding::companyName(), Branding::cityCountry(),
             Branding::webAddress(), Branding::email() }) {
        QStringList names;
        for (QLabel* label : all.about.findChildren<QLabel*>())
            names << accessibleText(label);
        QVERIFY2(names.contains(text), qPrintable(text));
    }
    // Every label that shows a text gives that text, in every window.
    for (QWidget* window : all.windows()) {
        for (QLabel* label : window->findChildren<QLabel*>()) {
            if (!label->text().isEmpty())
                QCOMPARE(accessibleText(label), label->text());
        }
    }
}

void TestMainWindow::everyWindowShowsTheProgramIcon()
{
    writeSettingsFile({ "", "", "", "", "", "", "" });
    AllWindows all(settings);
    const QImage expected = Branding::icon(32).toImage();
    for (QWidget* window : all.windows())
        QCOMPARE(window->windowIcon().pixmap(32).toImage(), expected);
}

void TestMainWindow::trayFollowsTheStatus_data()
{
    QTest::addColumn<int>("link");
    QTest::addColumn<bool>("paused");
    QTest::addColumn<QColor>("colour");
    QTest::addColumn<QString>("linkLine");
    const QColor amber(0xff, 0xbf, 0x00);
    QTest::newRow("down") << int(LinkState::Disconnected) << false << QColor(Qt::red) << "Disconnected";
    QTest::newRow("connecting") << int(LinkState::Connecting) << false << amber << "Connecting to gw:1";
    QTest::newRow("logged in") << int(LinkState::LoggedIn) << false << QColor(Qt::green) << "Logged in to gw:1";
    QTest::newRow("paused") << int(LinkState::LoggedIn) << true << amber << "Logged in to gw:1, paused";
    QTest::newRow("down, paused") << int(LinkState::Disconnected) << true << QColor(Qt::red) << "Disconnected, paused";
}

void TestMainWindow::trayFollowsTheStatus()
{
    QFETCH(int, link);
    QFETCH(bool, paused);
    QFETCH(QColor, colour);
    QFETCH(QString, linkLine);
    EngineStatus s;
    s.link = LinkState(link);
    s.paused = paused;
    s.gateway = QStringLiteral("gw:1");
    s.counter = "00000042";
    s.queued = std::array<qint64, 4> { 2, 0, 1, 0 };
    QCOMPARE(TrayIcon::colour(s), colour);
    QCOMPARE(TrayIcon::toolTip(s, QStringLiteral("refused a.sms")).split(QLatin1Char('\n')),
        (QStringList { QStringLiteral("MARLEK SMS Sender"), linkLine, QStringLiteral("Counter: 00000042"),
            QStringLiteral("Files queued: 3"), QStringLiteral("Last: refused a.sms") }));
}

void TestMainWindow::trayMenuEnabledAsTheWindows()
{
    writeSettingsFile({ "", "", "", "", "", "", "" });
    EngineWindow w(settings);
    const auto item = [&](const char* name) { return child<QAction>(w.tray().menu(), name); };
    QVERIFY(item("TrayStart")->isEnabled());
    QVERIFY(!item("TrayStop")->isEnabled());
    QCOMPARE(item("TrayPause")->text(), QStringLiteral("Pause"));
    w.setStatusMenuEnabled(false);
    QVERIFY(!item("TrayStart")->isEnabled() && !item("TrayStop")->isEnabled() && !item("TrayPause")->isEnabled());
    w.setStatusMenuEnabled(true);
    // Pause from the tray holds the queue as marlek-sms pause does.
    w.engine().start();
    item("TrayPause")->trigger();
    QTRY_VERIFY(w.engine().status().paused);
    QCOMPARE(item("TrayPause")->text(), QStringLiteral("Resume"));
    item("TrayPause")->trigger();
    QTRY_VERIFY(!w.engine().status().paused);
    // Without a tray (offscreen), closing the window still ends the program.
    QSignalSpy closed(&w, &TFormMain::closed);
    w.close();
    QCOMPARE(closed.size(), 1);
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
