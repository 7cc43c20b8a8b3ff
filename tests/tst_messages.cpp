#include "MessagesData.h"
#include "UMessages.h"
#include "fsutil.h"
#include "ledger.h"
#include "recordingview.h"
#include "settings.h"
#include "testsupport.h"
#include "windowtestsupport.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>

namespace {
template <typename T> T* child(QObject* parent, const char* name)
{
    T* found = parent->findChild<T*>(QString::fromLatin1(name));
    if (!found)
        qFatal("no child %s", name);
    return found;
}

QString cell(const QAbstractItemModel& model, int row, int column)
{
    return model.data(model.index(row, column), Qt::DisplayRole).toString();
}

// Outcomes by line number: accepted, refused, unanswered in turn.
Ledger::Outcome outcomeOf(int i)
{
    return Ledger::Outcomes[size_t(i % 3)];
}
} // namespace

// The Messages window over a working folder laid out by hand: settings with
// outbox out/ and backup folder bak/, a ledger and its backup files.
class TestMessages : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void showsOutboxInSendingOrder();
    void largeOutboxFilledInTurns();
    void showsFatesNewestFirstAndFollows();
    void olderFatesOnDemandAcrossFiles();
    void filter_data();
    void filter();
    void requeue();
    void keyboardAndScreenReader();

private:
    // Ledger lines from..to (1-based), each with a backup file: number
    // 33300000 + i, text "text i".
    static QByteArray fates(int from, int to, bool withBackups = true)
    {
        QByteArray ledger;
        for (int i = from; i <= to; ++i) {
            const QByteArray n = QByteArray::number(i);
            const QByteArray backup = "bak/SmsFile_" + n + ".sms";
            if (withBackups)
                TextFile::writeLines(backup, { "3330000" + n, "me", "text " + n });
            ledger += Ledger::format({ "2007-03-05T09:04:" + n.rightJustified(2, '0') + "+01:00", outcomeOf(i),
                "out" + n + ".sms", backup, outcomeOf(i) == Ledger::Outcome::Unanswered ? "" : "0", "" });
        }
        return ledger;
    }
    static void append(const QByteArray& path, const QByteArray& data)
    {
        Fs::AppendFile file;
        QVERIFY(file.open(path));
        QVERIFY(file.append(data, false));
    }
    // The window shown: it begins to read.
    std::unique_ptr<TFormMessages> open()
    {
        auto w = std::make_unique<TFormMessages>(settings, nullptr, &clock);
        w->show();
        return w;
    }

    std::unique_ptr<WindowTestScope> scope;
    SettingsStore settings;
    FixedClock clock;
};

void TestMessages::init()
{
    scope = std::make_unique<WindowTestScope>();
    writeSettingsFile({ "out/", "bak/", "127.0.0.1", "1", "u", "p", "ABCDEFGHIJKLMNOP" });
    QVERIFY(settings.load());
    QVERIFY(QDir().mkpath(QStringLiteral("out")));
    QVERIFY(QDir().mkpath(QStringLiteral("bak")));
}

void TestMessages::cleanup()
{
    scope.reset();
}

void TestMessages::showsOutboxInSendingOrder()
{
    for (const char* name : { "b.sms", "c.flh", "a.sms", "z.ring", "note.txt" })
        TextFile::writeLines(QByteArray("out/") + name, { name, "sender", "text of " + QByteArray(name) });
    clock.time = QDateTime::currentDateTime().addSecs(150);
    auto w = open();
    OutboxModel& outbox = w->outbox();
    QTRY_COMPARE_WITH_TIMEOUT(outbox.rowCount(), 4, 20000);
    QStringList kinds, numbers;
    for (int row = 0; row < 4; ++row) {
        kinds << cell(outbox, row, OutboxModel::Kind);
        // Asking for a row's lines reads them.
        QTRY_VERIFY(!cell(outbox, row, OutboxModel::Number).isEmpty());
        numbers << cell(outbox, row, OutboxModel::Number);
    }
    QCOMPARE(kinds, (QStringList { u"normal"_qs, u"normal"_qs, u"ring"_qs, u"flash"_qs }));
    QCOMPARE(numbers, (QStringList { u"a.sms"_qs, u"b.sms"_qs, u"z.ring"_qs, u"c.flh"_qs }));
    QCOMPARE(cell(outbox, 0, OutboxModel::Sender), u"sender"_qs);
    QCOMPARE(cell(outbox, 0, OutboxModel::Text), u"text of a.sms"_qs);
    QCOMPARE(cell(outbox, 0, OutboxModel::Age), u"2 min"_qs);

    // Followed: a file taken by the sender goes, a new one comes.
    QVERIFY(QFile::remove(QStringLiteral("out/a.sms")));
    TextFile::writeLines("out/0.lnol", { "1", "2", "3" });
    QTRY_COMPARE_WITH_TIMEOUT(outbox.rowCount(), 4, 20000);
    QTRY_COMPARE(cell(outbox, 2, OutboxModel::Kind), u"logo"_qs);
    QCOMPARE(cell(outbox, 0, OutboxModel::Number), u"b.sms"_qs);
}

void TestMessages::largeOutboxFilledInTurns()
{
    // More than the index reads in place, and several turns of the fill.
    const int files = 3 * OutboxModel::FillRows + 7;
    for (int i = 0; i < files; ++i) {
        const QByteArray n = QByteArray::number(i);
        QVERIFY(Fs::writeFile("out/m" + n.rightJustified(5, '0') + ".sms", n + "\r\nme\r\nt\r\n"));
    }
    auto w = open();
    OutboxModel& outbox = w->outbox();
    QTRY_VERIFY_WITH_TIMEOUT(outbox.ready(), 20000);
    QCOMPARE(outbox.rowCount(), files);
    QTRY_COMPARE(cell(outbox, 0, OutboxModel::Number), u"0"_qs);
    QTRY_COMPARE(cell(outbox, files - 1, OutboxModel::Number), QString::number(files - 1));
    // Taken from the front and added at the end, as a sender and a writer do.
    QVERIFY(QFile::remove(QStringLiteral("out/m00000.sms")));
    QVERIFY(Fs::writeFile("out/n.sms", "new\r\nme\r\nt\r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(cell(outbox, 0, OutboxModel::Number), u"1"_qs, 20000);
    QTRY_COMPARE_WITH_TIMEOUT(cell(outbox, files - 1, OutboxModel::Number), u"new"_qs, 20000);
    QCOMPARE(outbox.rowCount(), files);
}

void TestMessages::showsFatesNewestFirstAndFollows()
{
    QVERIFY(Fs::writeFile(Ledger::FileName, fates(1, 3)));
    auto w = open();
    FatesModel& model = w->fates();
    QTRY_VERIFY_WITH_TIMEOUT(model.complete(), 20000);
    QCOMPARE(model.rowCount(), 3);
    // As a person reads it; the ledger's own text in the tip.
    QCOMPARE(cell(model, 0, FatesModel::Time), u"2007-03-05 09:04:03"_qs);
    QCOMPARE(model.data(model.index(0, FatesModel::Time), Qt::ToolTipRole).toString(), u"2007-03-05T09:04:03+01:00"_qs);
    QCOMPARE(cell(model, 0, FatesModel::Outcome), u"accepted"_qs);
    QCOMPARE(cell(model, 0, FatesModel::Number), u"33300003"_qs);
    QCOMPARE(cell(model, 0, FatesModel::Text), u"text 3"_qs);
    QCOMPARE(cell(model, 0, FatesModel::Backup), u"bak/SmsFile_3.sms"_qs);
    QCOMPARE(cell(model, 2, FatesModel::Outcome), u"refused"_qs);

    // Appended lines come at the top; a line half written waits for its end.
    const QByteArray more = fates(4, 5);
    append(Ledger::FileName, more.left(more.size() - 3));
    QTRY_COMPARE_WITH_TIMEOUT(model.rowCount(), 4, 20000);
    QCOMPARE(cell(model, 0, FatesModel::Text), u"text 4"_qs);
    append(Ledger::FileName, more.right(3));
    QTRY_COMPARE_WITH_TIMEOUT(model.rowCount(), 5, 20000);
    QCOMPARE(cell(model, 0, FatesModel::Text), u"text 5"_qs);

    // Through a rotation, nothing is lost or shown twice.
    append(Ledger::FileName, fates(6, 6));
    QVERIFY(
        QFile::rename(QLatin1String(Ledger::FileName), QString::fromLatin1(Ledger::rotatedName("2007_3_5_9_5_0_0"))));
    QVERIFY(Fs::writeFile(Ledger::FileName, fates(7, 7)));
    QTRY_COMPARE_WITH_TIMEOUT(model.rowCount(), 7, 20000);
    for (int row = 0; row < 7; ++row)
        QCOMPARE(cell(model, row, FatesModel::Text), QStringLiteral("text %1").arg(7 - row));
}

void TestMessages::olderFatesOnDemandAcrossFiles()
{
    const int total = 3 * FatesModel::MoreRows;
    QVERIFY(Fs::writeFile(Ledger::rotatedName("2007_3_5_9_0_0_0"), fates(1, total / 2, false)));
    QVERIFY(Fs::writeFile(Ledger::FileName, fates(total / 2 + 1, total, false)));
    auto w = open();
    FatesModel& model = w->fates();
    QTRY_COMPARE_WITH_TIMEOUT(model.rowCount(), FatesModel::FirstRows, 20000);
    QVERIFY(!model.complete());
    // As the view scrolls down, a batch at a time.
    while (!model.complete()) {
        QTRY_VERIFY_WITH_TIMEOUT(model.canFetchMore({}) || model.complete(), 20000);
        const int before = model.rowCount();
        if (model.canFetchMore({})) {
            model.fetchMore({});
            QTRY_VERIFY_WITH_TIMEOUT(model.rowCount() > before || model.complete(), 20000);
        }
    }
    QCOMPARE(model.rowCount(), total);
    for (int row = 0; row < total; ++row)
        QCOMPARE(model.fate(row).line.outboxName, "out" + QByteArray::number(total - row) + ".sms");
}

void TestMessages::filter_data()
{
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<QString>("number");
    QTest::addColumn<QStringList>("texts"); // newest first
    QTest::newRow("refused") << u"refused"_qs << QString()
                             << QStringList { u"text 40"_qs, u"text 37"_qs, u"text 34"_qs, u"text 31"_qs, u"text 28"_qs,
                                    u"text 25"_qs, u"text 22"_qs, u"text 19"_qs, u"text 16"_qs, u"text 13"_qs,
                                    u"text 10"_qs, u"text 7"_qs, u"text 4"_qs, u"text 1"_qs };
    QTest::newRow("number, spaces left out")
        << u"all"_qs << u"333 000 03"_qs
        << QStringList { u"text 39"_qs, u"text 38"_qs, u"text 37"_qs, u"text 36"_qs, u"text 35"_qs, u"text 34"_qs,
               u"text 33"_qs, u"text 32"_qs, u"text 31"_qs, u"text 30"_qs, u"text 3"_qs };
    QTest::newRow("both") << u"unanswered"_qs << u"3330000 2"_qs
                          << QStringList { u"text 29"_qs, u"text 26"_qs, u"text 23"_qs, u"text 20"_qs, u"text 2"_qs };
    QTest::newRow("none") << u"accepted"_qs << u"44"_qs << QStringList {};
}

void TestMessages::filter()
{
    QFETCH(QString, outcome);
    QFETCH(QString, number);
    QFETCH(QStringList, texts);
    QVERIFY(Fs::writeFile(Ledger::FileName, fates(1, 40)));
    auto w = open();
    FatesModel& model = w->fates();
    QTRY_VERIFY_WITH_TIMEOUT(model.complete(), 20000);
    auto* outcomes = child<QComboBox>(w.get(), "OutcomeFilter");
    outcomes->setCurrentIndex(outcomes->findText(outcome));
    auto* numbers = child<QLineEdit>(w.get(), "NumberFilter");
    numbers->setFocus();
    QTest::keyClicks(numbers, number);
    QTest::keyClick(numbers, Qt::Key_Return);
    QTRY_VERIFY_WITH_TIMEOUT(model.complete(), 20000);
    QStringList shown;
    for (int row = 0; row < model.rowCount(); ++row)
        shown << cell(model, row, FatesModel::Text);
    QCOMPARE(shown, texts);
}

void TestMessages::requeue()
{
    // 1 refused; 2 unanswered; 4 refused and then accepted on a later line.
    QByteArray ledger = fates(1, 4);
    ledger += Ledger::format(
        { "2007-03-05T09:05:00+01:00", Ledger::Outcome::Accepted, "out4.sms", "bak/SmsFile_4.sms", "0", "" });
    QVERIFY(Fs::writeFile(Ledger::FileName, ledger));
    auto w = open();
    FatesModel& model = w->fates();
    QTRY_VERIFY_WITH_TIMEOUT(model.complete(), 20000);
    auto* grid = child<QTableView>(w.get(), "FatesGrid");
    auto* button = child<QPushButton>(w.get(), "RequeueButton");
    auto* status = child<QLabel>(w.get(), "RequeueStatus");
    auto rowOf = [&model](const QByteArray& outboxName, Ledger::Outcome outcome) {
        for (int row = 0; row < model.rowCount(); ++row) {
            if (model.fate(row).line.outboxName == outboxName && model.fate(row).line.outcome == outcome)
                return row;
        }
        return -1;
    };
    const QDir out(QStringLiteral("out"));

    grid->setCurrentIndex(model.index(rowOf("out2.sms", Ledger::Outcome::Unanswered), 0));
    QVERIFY(!button->isEnabled());
    grid->setCurrentIndex(model.index(rowOf("out1.sms", Ledger::Outcome::Refused), 0));
    QVERIFY(button->isEnabled());
    QTest::mouseClick(button, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(out.entryList(QDir::Files).size(), 1, 20000);
    const QString name = out.entryList(QDir::Files).constFirst();
    QCOMPARE(readRaw(out.filePath(name)), readRaw(QStringLiteral("bak/SmsFile_1.sms")));
    QTRY_COMPARE(status->text(), QStringLiteral("bak/SmsFile_1.sms is back in the outbox as %1").arg(name));
    // Written whole under a hidden name, then renamed: nothing else is left.
    QCOMPARE(out.entryList(QDir::Files | QDir::Hidden), QStringList { name });
    QVERIFY(button->isEnabled());

    // The newest fate rules, not the line chosen.
    grid->setCurrentIndex(model.index(rowOf("out4.sms", Ledger::Outcome::Refused), 0));
    QVERIFY(button->isEnabled());
    QTest::mouseClick(button, Qt::LeftButton);
    QTRY_COMPARE(
        status->text(), QStringLiteral("bak/SmsFile_4.sms: its fate is accepted; the gateway may already have it"));
    QCOMPARE(out.entryList(QDir::Files | QDir::Hidden).size(), 1);
}

void TestMessages::keyboardAndScreenReader()
{
    auto w = open();
    QCOMPARE(w->windowTitle(), QStringLiteral("Messages"));
    // Every control a person uses is named for a screen reader.
    for (QWidget* c : w->findChildren<QWidget*>()) {
        if (c->objectName().isEmpty() || c->objectName().startsWith(QLatin1String("qt_")))
            continue;
        if (qobject_cast<QAbstractButton*>(c) || qobject_cast<QComboBox*>(c) || qobject_cast<QLineEdit*>(c)
            || qobject_cast<QAbstractItemView*>(c) || qobject_cast<QTabWidget*>(c))
            QVERIFY2(!accessibleText(c).isEmpty(), qPrintable(c->objectName()));
    }
    // Tab reaches every control from the tabs on.
    QSet<QWidget*> reached;
    QWidget* at = child<QTabWidget>(w.get(), "PageControl1");
    for (int i = 0; i < 200 && at; ++i, at = at->nextInFocusChain()) {
        if (at->isEnabled() && (at->focusPolicy() & Qt::TabFocus))
            reached.insert(at);
    }
    for (const char* name : { "OutboxGrid", "OutboxStatus", "OutcomeFilter", "NumberFilter", "FatesGrid", "FatesStatus",
             "RequeueStatus", "CloseButton" }) {
        QWidget* c = child<QWidget>(w.get(), name);
        QVERIFY2(reached.contains(c), name);
        QVERIFY2(!accessibleText(c).isEmpty(), name);
    }
    // Requeue too, once a fate allows it.
    QVERIFY(child<QPushButton>(w.get(), "RequeueButton")->focusPolicy() & Qt::TabFocus);
    // The filter's captions lead to their fields.
    QCOMPARE(accessibleLabels(child<QComboBox>(w.get(), "OutcomeFilter")), QStringList { u"Outcome:"_qs });
}

QTEST_MAIN(TestMessages)
#include "tst_messages.moc"
