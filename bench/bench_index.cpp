// The outbox index against the directory walk, in one run: the whole tick with
// one .sms behind 100,000 .flh files while a producer renames a new .sms in
// every 200 ms; the event loop's longest stall during the first scan; CPU per
// sent message at 100,000 queued against 10; the index's memory.
#include "benchsupport.h"
#include "dispatchengine.h"
#include "settings.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <future>
#include <iostream>
#include <thread>

namespace {

// A gateway that reads and accepts, on a thread of its own.
class Sink : public QThread
{
public:
    quint16 begin()
    {
        start();
        return m_port.get_future().get();
    }

protected:
    void run() override
    {
        QTcpServer server;
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, &server, [&server] {
            while (QTcpSocket* s = server.nextPendingConnection()) {
                QObject::connect(s, &QTcpSocket::readyRead, s, [s, received = qint64(0)]() mutable {
                    const qint64 before = received;
                    received += s->readAll().size();
                    for (qint64 n = before / GatewayRecord::Size; n < received / GatewayRecord::Size; ++n)
                        s->write(Bench::acceptedReply());
                });
            }
        });
        m_port.set_value(server.serverPort());
        exec();
    }

private:
    std::promise<quint16> m_port;
};

QByteArray loadAverage()
{
    QFile f(QStringLiteral("/proc/loadavg"));
    return f.open(QIODevice::ReadOnly) ? f.readAll().trimmed() : QByteArray();
}

double processCpuUs()
{
    timespec ts {};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e6 + double(ts.tv_nsec) / 1e3;
}

double threadCpuUs()
{
    timespec ts {};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e6 + double(ts.tv_nsec) / 1e3;
}

double nowUs()
{
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    return double(clock.nsecsElapsed()) / 1e3;
}

struct Stats
{
    double median = 0;
    double worst = 0;
};

Stats stats(std::vector<double> v)
{
    if (v.empty())
        return {};
    std::sort(v.begin(), v.end());
    return { v[v.size() / 2], v.back() };
}

class Run
{
public:
    Run(const QByteArray& root)
        : m_root(root)
    {
        Bench::freshDirectory(root + "/backup");
        Settings s;
        s.backupDir = root + "/backup/";
        s.serverAddress = "127.0.0.1";
        s.serverPort = QByteArray::number(m_sink.begin());
        s.userName = "bench";
        s.password = "secret";
        s.userKey = "ABCD1234EFGH5678";
        m_settings.replace(s);
        m_options.saveLog = true;
        m_options.logFoundFiles = false;
        // The benchmark ticks by itself; the link's own timer must not.
        m_options.pollInterval = OptionNumber::fromText("2000000000");
        m_engine = std::make_unique<DispatchEngine>(m_settings, m_view, m_clock);
        m_engine->configure(m_view.options);
        m_view.watch(*m_engine);
        m_engine->inflight().setLimit(InFlight::MostLimit);
        m_engine->link().start();
        const QDeadlineTimer deadline(10000);
        while (!m_engine->link().loggedIn() && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    ~Run()
    {
        m_engine->link().closeWithoutEvent();
        m_sink.quit();
        m_sink.wait();
    }
    bool connected() const { return m_engine->link().isConnected(); }
    Outbox& outbox() { return m_engine->outbox(); }

    // A fresh outbox of the given files, followed by the tick from now on.
    QByteArray outboxOf(const QByteArray& label, int flh, int sms, bool walk)
    {
        const QByteArray dir = m_root + '/' + label;
        Bench::freshDirectory(dir);
        Bench::createFiles(dir, "f", ".flh", flh, Bench::MessageText);
        Bench::createFiles(dir, "q", ".sms", sms, Bench::MessageText);
        Bench::warm(dir);
        outbox().setFileSystemProbe([walk](const QByteArray&) { return walk; });
        Settings s = m_settings.values();
        s.outboxDir = dir + '/';
        m_settings.replace(s);
        return s.outboxDir;
    }

    // Asks until the index answers; the longest stall of the event loop meanwhile, by a 1 ms timer probe.
    double firstScanStallUs(const QByteArray& dir, double* tookMs)
    {
        double last = nowUs();
        double longest = 0;
        QTimer probe;
        probe.setTimerType(Qt::PreciseTimer);
        probe.setInterval(1);
        QObject::connect(&probe, &QTimer::timeout, &probe, [&] {
            const double t = nowUs();
            longest = std::max(longest, t - last);
            last = t;
        });
        probe.start();
        QCoreApplication::processEvents();
        last = nowUs();
        const double start = last;
        bool found = false;
        QTimer ask;
        ask.setInterval(5);
        QObject::connect(&ask, &QTimer::timeout, &ask, [&] {
            const double t = nowUs();
            const double cpu = threadCpuUs();
            found = !outbox().findNextMessageFile(dir).isEmpty();
            m_longestAskUs = std::max(m_longestAskUs, nowUs() - t);
            if (std::getenv("BENCH_INDEX_TRACE"))
                std::cout << "  search " << nowUs() - t << " us, cpu " << threadCpuUs() - cpu << " us\n";
            m_longestAskCpuUs = std::max(m_longestAskCpuUs, threadCpuUs() - cpu);
        });
        ask.start();
        const QDeadlineTimer deadline(60000);
        while (!found && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        *tookMs = (nowUs() - start) / 1e3;
        // The probe's own last gap.
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        return longest;
    }

    // Whole ticks (tick and the event-loop pass that writes the record) every
    // 10 ms while a producer renames a new .sms in every 200 ms.
    Stats ticksWithProducer(const QByteArray& dir, int ticks)
    {
        std::atomic<bool> stop { false };
        std::thread producer([&] {
            for (int i = 0; !stop.load(); ++i) {
                const QByteArray tmp = dir + "p" + QByteArray::number(i) + ".tmp";
                Bench::writeFile(tmp, Bench::MessageText);
                ::rename(tmp.constData(), (dir + "p" + QByteArray::number(100000 + i) + ".sms").constData());
                for (int w = 0; w < 20 && !stop.load(); ++w)
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
        std::vector<double> us;
        for (int i = 0; i < ticks; ++i) {
            const double start = nowUs();
            m_engine->tick().runOnce();
            QCoreApplication::processEvents();
            us.push_back(nowUs() - start);
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
        }
        stop = true;
        producer.join();
        return stats(us);
    }

    // CPU time of the process per sent message, each file put back under a
    // new name after its tick so the queue keeps its length.
    double cpuPerMessageUs(const QByteArray& dir, int messages)
    {
        double cpu = 0;
        for (int i = 0; i < messages; ++i) {
            const double start = processCpuUs();
            m_clock.forget();
            m_engine->tick().runOnce();
            QCoreApplication::processEvents();
            cpu += processCpuUs() - start;
            const QByteArray backup
                = Outbox::backupName(m_settings.values().backupDir, ".sms", StillClock(m_clock.last));
            ::rename(backup.constData(), (dir + "r" + QByteArray::number(i) + ".sms").constData());
        }
        return cpu / messages;
    }

    double m_longestAskUs = 0; // the longest search during a first scan
    double m_longestAskCpuUs = 0; // and the most CPU one took
    QByteArray m_root;
    Sink m_sink;
    SettingsStore m_settings;
    RecordingView m_view { RecordingView::Counting };
    RememberingClock m_clock;
    std::unique_ptr<DispatchEngine> m_engine;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QByteArray root = Bench::dataRoot() + "/index";
    Bench::freshDirectory(root);
    std::cout << "Data directory: " << root.constData() << " on " << Bench::fileSystemOf(root).constData() << "\n";
    const int ticks = argc > 1 ? std::atoi(argv[1]) : 300;
    Run run(root);
    if (!run.connected()) {
        std::cerr << "could not connect to the sink\n";
        return 1;
    }

    // 1. First scan of 100,000 files: memory and the event loop's longest stall.
    const qint64 rssBefore = Bench::residentKiB();
    QByteArray dir = run.outboxOf("scan", 100000, 1, false);
    double scanMs = 0;
    const double stallUs = run.firstScanStallUs(dir, &scanMs);
    const qint64 indexKiB = Bench::residentKiB() - rssBefore;
    std::cout << "first scan: " << scanMs << " ms, longest stall " << stallUs << " us, index of "
              << run.outbox().indexedCount() << " names: +" << indexKiB << " KiB resident; longest search call "
              << run.m_longestAskUs << " us (CPU " << run.m_longestAskCpuUs << " us); load "
              << loadAverage().constData() << "\n";
    Bench::row(QStringLiteral("first scan of 100,000 files: longest event-loop stall (1 ms probe)"),
        QStringLiteral("%1 (longest search call %2, of which CPU %3; scan done in %4 ms)")
            .arg(Bench::micros(stallUs), Bench::micros(run.m_longestAskUs), Bench::micros(run.m_longestAskCpuUs))
            .arg(scanMs, 0, 'f', 1),
        QStringLiteral("<= 16 ms"), stallUs <= 16000);
    Bench::row(QStringLiteral("index memory at 100,000 names (resident growth)"),
        QStringLiteral("%1 MB").arg(double(indexKiB) / 1024, 0, 'f', 1), QStringLiteral("<= 30 MB"),
        indexKiB <= 30 * 1024);

    // 2. Whole tick, one .sms behind 100,000 .flh, producer every 200 ms:
    // the index, then the walk, in this run.
    Stats index;
    Stats walk;
    for (const bool walking : { false, true }) {
        dir = run.outboxOf(walking ? "tick-walk" : "tick-index", 100000, 1, walking);
        double took = 0;
        run.firstScanStallUs(dir, &took); // first scan excluded
        (walking ? walk : index) = run.ticksWithProducer(dir, walking ? ticks / 3 : ticks);
    }
    std::cout << "tick with producer, index: median " << index.median << " us, worst " << index.worst
              << " us; walk: median " << walk.median << " us, worst " << walk.worst << " us\n";
    Bench::row(QStringLiteral("whole tick, one .sms behind 100,000 .flh, producer every 200 ms: median / worst"),
        QStringLiteral("%1 / %2 (the walk: %3 / %4)")
            .arg(Bench::micros(index.median), Bench::micros(index.worst), Bench::micros(walk.median),
                Bench::micros(walk.worst)),
        QStringLiteral("median <= 0.2 ms, worst <= 16 ms"), index.median <= 200 && index.worst <= 16000);

    // 3. CPU per sent message, 100,000 queued against 10.
    double cpu[2] = { 0, 0 };
    const int counts[2] = { 10, 100000 };
    for (int i = 0; i < 2; ++i) {
        dir = run.outboxOf("cpu" + QByteArray::number(counts[i]), 0, counts[i], false);
        double took = 0;
        run.firstScanStallUs(dir, &took);
        cpu[i] = run.cpuPerMessageUs(dir, 2000);
    }
    std::cout << "CPU per message: 10 queued " << cpu[0] << " us, 100,000 queued " << cpu[1] << " us\n";
    Bench::row(QStringLiteral("CPU per sent message, 100,000 queued / 10 queued"),
        QStringLiteral("%1 / %2 (x%3)")
            .arg(Bench::micros(cpu[1]), Bench::micros(cpu[0]))
            .arg(cpu[1] / cpu[0], 0, 'f', 2),
        QStringLiteral("within 1.5x"), cpu[1] <= cpu[0] * 1.5);

    if (!run.m_view.errors.isEmpty())
        Bench::note(QStringLiteral("errors shown: %1").arg(run.m_view.errors.first()));
    if (qEnvironmentVariableIsEmpty("SMS_BENCH_KEEP"))
        Bench::removeTree(root);
    return 0;
}
