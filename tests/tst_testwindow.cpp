#include "Branding.h"
#include "Dialogs.h"
#include "UAbout.h"
#include "UTest.h"
#include "recordingdialogs.h"
#include "settings.h"
#include "textfile.h"

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>

namespace {

QByteArray fileBytes(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return "<missing>";
    return f.readAll();
}

} // namespace

class TestTestWindow : public QObject
{
    Q_OBJECT

    // A test window writing into its own outbox, its errors recorded.
    struct Rig
    {
        QTemporaryDir dir;
        SettingsStore store;
        TFormTest form;
        RecordingDialogs dialogs;
        QStringList& errors = dialogs.errors;

        Rig()
            : form(store)
        {
            Settings s;
            s.outboxDir = QFile::encodeName(dir.path()) + '/';
            store.replace(s);
            Dialogs::setInstance(&dialogs);
        }
        ~Rig() { Dialogs::setInstance(nullptr); }
        template <typename T> T* w(const char* name) { return form.findChild<T*>(QLatin1String(name)); }
        void type(const QString& to, const QString& from, const QString& text)
        {
            w<QLineEdit>("EditTo")->setText(to);
            w<QLineEdit>("EditFrom")->setText(from);
            w<QPlainTextEdit>("Memo1")->setPlainText(text);
        }
        // Clicks "Send" and lets any error box it queued come up.
        void send()
        {
            w<QPushButton>("Button1")->click();
            QVERIFY(QTest::qWaitFor([] { return ErrorBoxes::instance().pendingCount() == 0; }));
        }
        QStringList outbox() const { return QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot); }
    };

private Q_SLOTS:
    void initialState()
    {
        SettingsStore store;
        TFormTest form(store);
        QCOMPARE(form.windowTitle(), QStringLiteral("SMS Tst"));
        QVERIFY(form.windowFlags() & Qt::Tool);
        QCOMPARE(form.minimumSize(), QSize(566, 265));
        QCOMPARE(form.maximumSize(), QSize(566, 265));
        auto* to = form.findChild<QLineEdit*>(QStringLiteral("EditTo"));
        auto* from = form.findChild<QLineEdit*>(QStringLiteral("EditFrom"));
        QVERIFY(to->text().isEmpty());
        QCOMPARE(from->text(), QStringLiteral("Marlek"));
        QCOMPARE(from->maxLength(), 15);
        QCOMPARE(to->geometry(), QRect(104, 8, 121, 21));
        QCOMPARE(from->geometry(), QRect(104, 48, 121, 21));
        QCOMPARE(form.findChild<QPlainTextEdit*>(QStringLiteral("Memo1"))->geometry(), QRect(104, 120, 449, 89));
        const QList<std::pair<const char*, QString>> radios { { "RadioButtonN", QStringLiteral("Nornal") },
            { "RadioButtonL", QStringLiteral("Logo") }, { "RadioButtonM", QStringLiteral("Music") },
            { "RadioButtonF", QStringLiteral("Flash") } };
        const int lefts[] = { 104, 168, 224, 288 };
        for (int i = 0; i < radios.size(); ++i) {
            auto* r = form.findChild<QRadioButton*>(QLatin1String(radios[i].first));
            QVERIFY(r);
            QCOMPARE(r->text(), radios[i].second);
            QCOMPARE(r->geometry(), QRect(lefts[i], 88, 57, 17));
            QCOMPARE(r->isChecked(), i == 0);
        }
        auto* send = form.findChild<QPushButton*>(QStringLiteral("Button1"));
        auto* exit = form.findChild<QPushButton*>(QStringLiteral("Button2"));
        QCOMPARE(send->text(), QStringLiteral("Send SMS"));
        QCOMPARE(exit->text(), QStringLiteral("Exit"));
        QCOMPARE(send->geometry(), QRect(171, 228, 75, 25));
        QCOMPARE(exit->geometry(), QRect(319, 228, 75, 25));
        QStringList labels;
        for (QLabel* l : form.findChildren<QLabel*>())
            labels << l->text();
        for (const char* caption : { "To Number:", "From:", "SMS Type:", "Message Text:" })
            QVERIFY2(labels.contains(QLatin1String(caption)), caption);
        QVERIFY(labels.contains(Branding::webAddress()));
    }

    void everyControlHasAnAccessibleName()
    {
        SettingsStore store;
        TFormTest form(store);
        TFormAbout about;
        QList<QWidget*> controls;
        for (QWidget* top : { static_cast<QWidget*>(&form), static_cast<QWidget*>(&about) }) {
            for (QWidget* w : top->findChildren<QWidget*>()) {
                if (qobject_cast<QAbstractButton*>(w) || qobject_cast<QLineEdit*>(w)
                    || qobject_cast<QPlainTextEdit*>(w))
                    controls << w;
            }
        }
        QCOMPARE(controls.size(), 9);
        for (QWidget* w : controls)
            QVERIFY2(!w->accessibleName().isEmpty(), qPrintable(w->objectName()));
    }

    void musicMessageJoinsTheLines()
    {
        Rig rig;
        rig.form.show();
        rig.type(QStringLiteral("3331234567"), QStringLiteral("Tester"), QStringLiteral("Hello\nWorld"));
        rig.w<QRadioButton>("RadioButtonM")->click();
        rig.send();
        QVERIFY(rig.errors.isEmpty());
        QCOMPARE(rig.outbox(), QStringList { QStringLiteral("SmsFile.ring") });
        QCOMPARE(fileBytes(rig.dir.filePath(QStringLiteral("SmsFile.ring"))),
            QByteArray("3331234567\r\nTester\r\nHelloWorld\r\n"));
        QVERIFY(!rig.form.isVisible());
    }

    void kindsGiveTheirExtensions_data()
    {
        QTest::addColumn<QString>("radio");
        QTest::addColumn<QString>("file");
        QTest::newRow("Nornal") << QStringLiteral("RadioButtonN") << QStringLiteral("SmsFile.sms");
        QTest::newRow("Logo") << QStringLiteral("RadioButtonL") << QStringLiteral("SmsFile.lnol");
        QTest::newRow("Music") << QStringLiteral("RadioButtonM") << QStringLiteral("SmsFile.ring");
        QTest::newRow("Flash") << QStringLiteral("RadioButtonF") << QStringLiteral("SmsFile.flh");
    }

    void kindsGiveTheirExtensions()
    {
        QFETCH(QString, radio);
        QFETCH(QString, file);
        Rig rig;
        rig.type(QStringLiteral("1"), QStringLiteral("2"), QString());
        rig.form.findChild<QRadioButton*>(radio)->click();
        rig.send();
        // An empty message is still a three-line file.
        QCOMPARE(rig.outbox(), QStringList { file });
        QCOMPARE(fileBytes(rig.dir.filePath(file)), QByteArray("1\r\n2\r\n\r\n"));
    }

    void sendingTwiceLeavesTheSecondMessage()
    {
        Rig rig;
        rig.form.show();
        rig.type(QStringLiteral("111"), QStringLiteral("Me"), QStringLiteral("first message"));
        rig.send();
        QVERIFY(!rig.form.isVisible());
        rig.form.show();
        // Fields are kept between openings.
        QCOMPARE(rig.w<QLineEdit>("EditTo")->text(), QStringLiteral("111"));
        QCOMPARE(rig.w<QPlainTextEdit>("Memo1")->toPlainText(), QStringLiteral("first message"));
        rig.w<QPlainTextEdit>("Memo1")->setPlainText(QStringLiteral("second"));
        rig.send();
        QCOMPARE(rig.outbox(), QStringList { QStringLiteral("SmsFile.sms") });
        QCOMPARE(fileBytes(rig.dir.filePath(QStringLiteral("SmsFile.sms"))), QByteArray("111\r\nMe\r\nsecond\r\n"));
    }

    void emptyOutboxWritesIntoWorkingDirectory()
    {
        QTemporaryDir cwd;
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(cwd.path()));
        SettingsStore store; // nothing loaded
        TFormTest form(store);
        RecordingDialogs dialogs;
        Dialogs::setInstance(&dialogs);
        form.findChild<QLineEdit*>(QStringLiteral("EditTo"))->setText(QStringLiteral("5"));
        form.findChild<QPushButton*>(QStringLiteral("Button1"))->click();
        QVERIFY(QTest::qWaitFor([] { return ErrorBoxes::instance().pendingCount() == 0; }));
        Dialogs::setInstance(nullptr);
        QDir::setCurrent(previous);
        QVERIFY(dialogs.errors.isEmpty());
        QCOMPARE(QDir(cwd.path()).entryList(QDir::Files), QStringList { QStringLiteral("SmsFile.sms") });
        QCOMPARE(fileBytes(cwd.filePath(QStringLiteral("SmsFile.sms"))), QByteArray("5\r\nMarlek\r\n\r\n"));
    }

    void outboxWithoutSeparatorStillGetsTheFileInside()
    {
        Rig rig;
        Settings s = rig.store.values();
        s.outboxDir.chop(1);
        rig.store.replace(s);
        rig.send();
        QCOMPARE(rig.outbox(), QStringList { QStringLiteral("SmsFile.sms") });
    }

    void missingOutboxReportsAndStaysOpen()
    {
        Rig rig;
        Settings s = rig.store.values();
        s.outboxDir += "missing/";
        rig.store.replace(s);
        rig.form.show();
        rig.send();
        QCOMPARE(rig.errors,
            QStringList { errorBoxText(QStringLiteral("Cannot create file ") + QString::fromLatin1(s.outboxDir)
                + QStringLiteral("SmsFile.sms")) });
        QVERIFY(rig.form.isVisible());
        QVERIFY(rig.outbox().isEmpty());
    }

    void failedReplaceLeavesNothingBehind()
    {
        // A directory in the way of the message file: the rename fails and the
        // temporary file must not stay in the outbox.
        Rig rig;
        QVERIFY(QDir(rig.dir.path()).mkpath(QStringLiteral("SmsFile.sms/x")));
        rig.form.show();
        rig.send();
        QCOMPARE(rig.errors.size(), 1);
        QVERIFY(rig.errors[0].startsWith(u"Cannot create file "));
        QCOMPARE(rig.outbox(), QStringList { QStringLiteral("SmsFile.sms") });
        QVERIFY(rig.form.isVisible());
    }

    void errorsGoToThePresenterByDefault()
    {
        RecordingDialogs dialogs;
        SettingsStore store;
        Settings s;
        s.outboxDir = "/nonexistent-outbox-dir/";
        store.replace(s);
        TFormTest form(store);
        form.show();
        form.findChild<QPushButton*>(QStringLiteral("Button1"))->click();
        QTRY_COMPARE(dialogs.errors.size(), 1);
        QVERIFY(dialogs.errors[0].startsWith(u"Cannot create file /nonexistent-outbox-dir/SmsFile.sms"));
        QVERIFY(form.isVisible());
    }

    void exitWritesNothing()
    {
        Rig rig;
        rig.form.show();
        rig.w<QPushButton>("Button2")->click();
        QVERIFY(!rig.form.isVisible());
        QVERIFY(rig.outbox().isEmpty());
    }

    void fieldsCannotBreakTheFile()
    {
        Rig rig;
        rig.type(QStringLiteral("12\r\n34"), QStringLiteral("M\u00fcller") + QChar(0) + QStringLiteral("x"),
            QStringLiteral("a\r\nb") + QChar(QChar::LineSeparator) + QStringLiteral("c"));
        rig.send();
        QCOMPARE(
            fileBytes(rig.dir.filePath(QStringLiteral("SmsFile.sms"))), QByteArray("1234\r\nM\xfcllerx\r\nabc\r\n"));
    }

    void uncarriedCharacterIsRefused_data()
    {
        QTest::addColumn<QString>("to");
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("named");
        const QString fine = QStringLiteral("Caf\u00e9");
        QTest::newRow("message") << QStringLiteral("333") << fine << QStringLiteral("Prze\u0142om")
                                 << QStringLiteral("\"\u0142\" (U+0142)");
        QTest::newRow("sender") << QStringLiteral("333") << QStringLiteral("\u20ac uro") << fine
                                << QStringLiteral("\"\u20ac\" (U+20AC)");
        QTest::newRow("outside the BMP") << QStringLiteral("3\U0001F600") << fine << fine
                                         << QStringLiteral("\"\U0001F600\" (U+1F600)");
    }

    void uncarriedCharacterIsRefused()
    {
        QFETCH(QString, to);
        QFETCH(QString, from);
        QFETCH(QString, text);
        QFETCH(QString, named);
        Rig rig;
        rig.form.show();
        rig.type(to, from, text);
        rig.send();
        QCOMPARE(rig.errors, QStringList { QStringLiteral("The gateway cannot carry the character ") + named });
        QVERIFY(rig.outbox().isEmpty()); // not sent as "?"
        QVERIFY(rig.form.isVisible());
    }

    void fromLimitedTo15()
    {
        Rig rig;
        auto* from = rig.w<QLineEdit>("EditFrom");
        from->clear();
        QTest::keyClicks(from, QStringLiteral("ABCDEFGHIJKLMNOPQRST"));
        QCOMPARE(from->text(), QStringLiteral("ABCDEFGHIJKLMNO"));
    }

    void messageLimitedTo160()
    {
        Rig rig;
        auto* memo = rig.w<QPlainTextEdit>("Memo1");
        memo->setPlainText(QString(200, u'x'));
        QCOMPARE(memo->toPlainText(), QString(160, u'x'));

        // Typing into a full text changes nothing, wherever the cursor is.
        QTextCursor c = memo->textCursor();
        c.setPosition(10);
        memo->setTextCursor(c);
        QTest::keyClicks(memo, QStringLiteral("yy"));
        QCOMPARE(memo->toPlainText(), QString(160, u'x'));

        // A paste that overflows keeps its start and the text after it.
        memo->setPlainText(QString(150, u'x') + QStringLiteral("END"));
        c.setPosition(5);
        memo->setTextCursor(c);
        memo->insertPlainText(QString(20, u'p'));
        const QString expected = QString(5, u'x') + QString(7, u'p') + QString(145, u'x') + QStringLiteral("END");
        QCOMPARE(memo->toPlainText(), expected);
        QCOMPARE(memo->textCursor().position(), 12);

        // Line breaks count, and the limit holds for what is sent.
        memo->setPlainText(QString(159, u'z'));
        QTest::keyClick(memo, Qt::Key_End, Qt::ControlModifier);
        QTest::keyClick(memo, Qt::Key_Return);
        QTest::keyClicks(memo, QStringLiteral("q"));
        QCOMPARE(memo->toPlainText(), QString(159, u'z') + u'\n');
        rig.send();
        QCOMPARE(TextFile::splitLines(fileBytes(rig.dir.filePath(QStringLiteral("SmsFile.sms")))).value(2),
            QByteArray(159, 'z'));
    }

    void windowIsCentred()
    {
        Rig rig;
        rig.form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&rig.form));
        const QPoint centre = rig.form.screen()->availableGeometry().center();
        QVERIFY(qAbs(rig.form.frameGeometry().center().x() - centre.x()) <= 1);
        QVERIFY(qAbs(rig.form.frameGeometry().center().y() - centre.y()) <= 1);
    }

    void aboutWindow()
    {
        TFormAbout about;
        QCOMPARE(about.windowTitle(), QStringLiteral("About Marlek"));
        QVERIFY(about.windowFlags() & Qt::Tool);
        QVERIFY(about.windowFlags() & Qt::WindowCloseButtonHint);
        QVERIFY(!(about.windowFlags() & Qt::WindowMinMaxButtonsHint));
        QVERIFY(about.minimumSize() != about.maximumSize()); // sizeable
        QVERIFY(about.findChildren<QAbstractButton*>().isEmpty());
        const QList<std::tuple<const char*, QString, QPoint>> labels { { "Label5", QStringLiteral("Version:  2.1.0"),
                                                                           QPoint(122, 16) },
            { "Label1", Branding::companyName(), QPoint(16, 41) },
            { "Label2", Branding::cityCountry(), QPoint(16, 65) }, { "Label3", Branding::webAddress(), QPoint(16, 89) },
            { "Label4", Branding::email(), QPoint(16, 113) } };
        for (const auto& [name, text, pos] : labels) {
            auto* l = about.findChild<QLabel*>(QLatin1String(name));
            QVERIFY2(l, name);
            QCOMPARE(l->text(), text);
            QCOMPARE(l->pos(), pos);
            QCOMPARE(l->textFormat(), Qt::PlainText);
            // The whole text fits and stays clear of the logo panel.
            QVERIFY2(l->sizeHint().width() <= l->width(), name);
        }
        auto* panel = about.findChild<QFrame*>(QStringLiteral("Panel2"));
        QCOMPARE(panel->geometry(), QRect(187, 49, 105, 73));
        auto* image = panel->findChild<QLabel*>(QStringLiteral("Image1"));
        QCOMPARE(image->pixmap().size(), QSize(98, 60));
        QVERIFY(panel->contentsRect().contains(image->geometry()));
        about.show();
        QVERIFY(QTest::qWaitForWindowExposed(&about));
        QVERIFY(about.rect().contains(panel->geometry()));
        about.close();
        QVERIFY(!about.isVisible());
    }
};

QTEST_MAIN(TestTestWindow)
#include "tst_testwindow.moc"
