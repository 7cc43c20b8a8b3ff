// The Messages window over a ledger of 1,000,000 lines (in 10 MB rotated
// files, as the engine leaves them) and an outbox of 100,000 files: the time
// to its first paint and to its first fates painted, and the event loop's
// latency while it follows the ledger, which another thread grows by a line
// every 200 ms (the shortest poll) as a file leaves the outbox and another
// comes. The view is scrolled to its end every second, so older fates are
// read meanwhile too.
//
//   bench_messages [--lines N] [--queued N] [--seconds S] [--keep yes]
//
// Data under $SMS_BENCH_DIR/messages (default ./bench-data), removed at the
// end unless kept for the next run.
#include "MessagesData.h"
#include "UMessages.h"
#include "fsutil.h"
#include "ledger.h"
#include "settings.h"
#include "textfile.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QScrollBar>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace {
constexpr qint64 RotateBytes = 10 * 1024 * 1024;
constexpr int Backups = 10000;
constexpr int ProbeMs = 5;

QByteArray ledgerLine(qint64 i)
{
    static const Ledger::Outcome outcomes[] = { Ledger::Outcome::Accepted, Ledger::Outcome::Accepted,
        Ledger::Outcome::Refused, Ledger::Outcome::Unanswered };
    return Ledger::format({ "2026-12-10T15:00:00+01:00", outcomes[i % 4], "q" + QByteArray::number(i) + ".sms",
        "bak/SmsFile_2026_12_10_15_0_0_" + QByteArray::number(i % Backups) + ".sms", "0", "00012345" });
}

void makeData(const QByteArray& root, qint64 lines, int queued)
{
    const QByteArray stamp = root + "/ready-" + QByteArray::number(lines) + '-' + QByteArray::number(queued);
    if (Fs::exists(stamp))
        return;
    std::fprintf(stderr, "making %lld ledger lines and %d queued files in %s...\n", static_cast<long long>(lines),
        queued, root.constData());
    QDir(QFile::decodeName(root)).removeRecursively();
    QDir().mkpath(QFile::decodeName(root + "/out"));
    QDir().mkpath(QFile::decodeName(root + "/bak"));
    TextFile::writeLines(root + "/SMS_Key_Client.inf",
        { root + "/out/", root + "/bak/", "127.0.0.1", "1", "user", "pass", "ABCDEFGHIJKLMNOP" });
    for (int i = 0; i < Backups; ++i)
        Fs::writeFile(root + "/bak/SmsFile_2026_12_10_15_0_0_" + QByteArray::number(i) + ".sms",
            TextFile::joinLines(
                { "39333" + QByteArray::number(1000000 + i), "sender", "text of message " + QByteArray::number(i) }));
    QByteArray current;
    int rotated = 0;
    for (qint64 i = 0; i < lines; ++i) {
        current += ledgerLine(i);
        if (current.size() >= RotateBytes) {
            Fs::writeFile(
                root + '/' + Ledger::rotatedName("2026_12_10_14_" + QByteArray::number(rotated++) + "_0_0"), current);
            current.clear();
        }
    }
    Fs::writeFile(root + '/' + Ledger::FileName, current);
    const QByteArray message = TextFile::joinLines({ "393331234567", "sender", "a queued message" });
    for (int i = 0; i < queued; ++i)
        Fs::writeFile(root + "/out/w" + QByteArray::number(i).rightJustified(6, '0') + ".sms", message);
    Fs::writeFile(stamp, {});
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size())))];
}

// Paint events of one viewport: the first at all, and the first with rows.
class PaintWatch : public QObject
{
public:
    PaintWatch(QWidget* viewport, const QAbstractItemModel& model, const QElapsedTimer& clock)
        : m_model(model)
        , m_clock(clock)
    {
        viewport->installEventFilter(this);
    }
    qint64 firstPaint = -1;
    qint64 firstRows = -1;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint) {
            if (firstPaint < 0)
                firstPaint = m_clock.elapsed();
            if (firstRows < 0 && m_model.rowCount() > 0)
                firstRows = m_clock.elapsed();
        }
        return false;
    }

private:
    const QAbstractItemModel& m_model;
    const QElapsedTimer& m_clock;
};
} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    qint64 lines = 1000000;
    int queued = 100000;
    int seconds = 30;
    bool keep = false;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == u"--lines")
            lines = args[i + 1].toLongLong();
        else if (args[i] == u"--queued")
            queued = args[i + 1].toInt();
        else if (args[i] == u"--seconds")
            seconds = args[i + 1].toInt();
        else if (args[i] == u"--keep")
            keep = args[i + 1] == u"yes";
    }
    QByteArray root = qgetenv("SMS_BENCH_DIR");
    root = (root.isEmpty() ? QDir::currentPath().toLocal8Bit() + "/bench-data" : root) + "/messages";
    makeData(root, lines, queued);
    QDir::setCurrent(QFile::decodeName(root));

    SettingsStore settings;
    settings.load();
    // From the window's making, as when the menu item is first chosen.
    QElapsedTimer clock;
    clock.start();
    TFormMessages window(settings);
    window.findChild<QTabWidget*>(QStringLiteral("PageControl1"))->setCurrentIndex(1);
    auto* grid = window.findChild<QTableView*>(QStringLiteral("FatesGrid"));
    PaintWatch watch(grid->viewport(), window.fates(), clock);
    qint64 outboxListed = -1;
    QObject::connect(&window.outbox(), &OutboxModel::progress, &window, [&] {
        if (outboxListed < 0 && window.outbox().ready() && window.outbox().rowCount() >= queued)
            outboxListed = clock.elapsed();
    });

    // The event loop's lateness: a 5 ms timer, each tick against the last.
    std::vector<double> loadLatency, followLatency;
    QElapsedTimer probeClock;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(ProbeMs);
    qint64 last = 0;
    QObject::connect(&probe, &QTimer::timeout, &window, [&] {
        const qint64 now = probeClock.nsecsElapsed();
        const double late = double(now - last) / 1e6 - ProbeMs;
        last = now;
        (outboxListed >= 0 && watch.firstRows >= 0 ? followLatency : loadLatency).push_back(std::max(0.0, late));
    });

    // The sender: a fate every 200 ms, a file gone and another come.
    std::atomic<bool> stop { false };
    std::atomic<qint64> written { 0 };
    std::thread sender([&] {
        Fs::AppendFile ledger;
        ledger.open(Ledger::FileName);
        const QByteArray message = TextFile::joinLines({ "393330000000", "sender", "new" });
        for (qint64 i = 0; !stop.load(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            ledger.append(ledgerLine(lines + i), false);
            written.store(lines + i + 1);
            Fs::removeFile("out/w" + QByteArray::number(i).rightJustified(6, '0') + ".sms");
            Fs::writeFile("out/x" + QByteArray::number(i).rightJustified(6, '0') + ".sms", message);
        }
    });

    QTimer scroll;
    scroll.setInterval(1000);
    QObject::connect(&scroll, &QTimer::timeout, grid,
        [grid] { grid->verticalScrollBar()->setValue(grid->verticalScrollBar()->maximum()); });

    probeClock.start();
    window.show();
    probe.start();
    scroll.start();
    // Not the application's quit, which would close the window.
    QEventLoop run;
    QTimer::singleShot(seconds * 1000, &run, &QEventLoop::quit);
    run.exec();
    stop.store(true);
    sender.join();
    probe.stop();
    scroll.stop();

    // The window caught up with the last fate written?
    QElapsedTimer catchUp;
    catchUp.start();
    const QByteArray lastName = "q" + QByteArray::number(written.load() - 1) + ".sms";
    while (catchUp.elapsed() < 10000
        && !(window.fates().rowCount() > 0 && window.fates().fate(0).line.outboxName == lastName))
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    const bool caughtUp = window.fates().rowCount() > 0 && window.fates().fate(0).line.outboxName == lastName;
    const int scrolledRows = window.fates().rowCount();

    // A number no fate has: the whole ledger is read, every backup file
    // looked at, on the reader's thread.
    std::vector<double> filterLatency;
    probe.disconnect();
    last = probeClock.nsecsElapsed();
    QObject::connect(&probe, &QTimer::timeout, &window, [&] {
        const qint64 now = probeClock.nsecsElapsed();
        filterLatency.push_back(std::max(0.0, double(now - last) / 1e6 - ProbeMs));
        last = now;
    });
    auto* number = window.findChild<QLineEdit*>(QStringLiteral("NumberFilter"));
    QElapsedTimer filtered;
    filtered.start();
    number->setText(QStringLiteral("0000000"));
    Q_EMIT number->returnPressed();
    probe.start();
    while (!window.fates().complete() && filtered.elapsed() < 300000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    probe.stop();
    const qint64 filterMs = window.fates().complete() ? filtered.elapsed() : -1;

    const QString what = QStringLiteral("Messages window, %L1 fates and %L2 queued files").arg(lines).arg(queued);
    auto row = [](const QString& measure, const QString& figure, const char* goal, const char* met) {
        std::printf("@row | %s | %s | %s | %s |\n", qPrintable(measure), qPrintable(figure), goal, met);
    };
    row(what + QStringLiteral(": made and shown to the first fates painted"),
        QStringLiteral("%1 ms (first paint %2 ms; the outbox's %L3 rows all in at %4 ms)")
            .arg(watch.firstRows)
            .arg(watch.firstPaint)
            .arg(window.outbox().rowCount())
            .arg(outboxListed),
        "< 1 s", watch.firstRows >= 0 && watch.firstRows < 1000 ? "yes" : "NO");
    auto lateness = [](const std::vector<double>& l) {
        return QStringLiteral("%1 / %2 / %3 ms (%L4 probes)")
            .arg(percentile(l, 0.5), 0, 'f', 2)
            .arg(percentile(l, 0.99), 0, 'f', 2)
            .arg(l.empty() ? 0.0 : *std::max_element(l.begin(), l.end()), 0, 'f', 2)
            .arg(l.size());
    };
    const bool responsive = percentile(followLatency, 0.99) <= 16;
    row(what
            + QStringLiteral(": event-loop lateness following the ledger (a fate every 200 ms, a file gone and "
                             "one come) and reading older fates as it is scrolled, %1 s: p50 / p99 / max")
                  .arg(seconds),
        lateness(followLatency), "p99 ≤ 16 ms", responsive ? "yes" : "NO");
    row(what + QStringLiteral(": event-loop lateness while loading (shown to the outbox all in): p50 / p99 / max"),
        lateness(loadLatency), "-", "-");
    row(what
            + QStringLiteral(": the last fate written on top at the end (%L1 fates read by scrolling)")
                  .arg(scrolledRows),
        caughtUp ? QStringLiteral("yes") : QStringLiteral("no"), "yes", caughtUp ? "yes" : "NO");
    row(what + QStringLiteral(": a number no fate has, the whole ledger read (every backup file looked at)"),
        filterMs < 0 ? QStringLiteral("not done in 300 s")
                     : QStringLiteral("%1 s").arg(double(filterMs) / 1000, 0, 'f', 1),
        "-", "-");
    row(what + QStringLiteral(": event-loop lateness meanwhile: p50 / p99 / max"), lateness(filterLatency),
        "p99 ≤ 16 ms", percentile(filterLatency, 0.99) <= 16 ? "yes" : "NO");
    std::printf("@note messages: %s platform; the lateness of a 5 ms precise timer against its last tick; the "
                "ledger in 10 MB rotated files, its lines naming %d backup files in turn\n",
        qPrintable(QGuiApplication::platformName()), Backups);
    if (!keep)
        QDir(QFile::decodeName(root)).removeRecursively();
    return caughtUp ? 0 : 1;
}
