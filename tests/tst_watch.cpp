#include "fsutil.h"
#include "gatewayprocess.h"
#include "ledger.h"
#include "statusfile.h"
#include "testgateway.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QSet>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTest>

#include <csignal>

// Watching the service and feeding it from outside, as other programs do:
// marlek-sms against marlek-smsd and the substitute gateway, and the
// metrics file read by a parser of the format and by a real node_exporter.
class TestWatch : public QObject, protected ServiceFolder
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void statusThroughEveryLinkState();
    void sendWaitsForTheFate_data();
    void sendWaitsForTheFate();
    void hundredSendsAtOnce();
    void pauseResumeDrain();
    void metricsReadBackAndServed();

private:
    QStringList tool(const QStringList& arguments) const
    {
        return QStringList { arguments.constFirst(), QStringLiteral("--workdir"), workdir } + arguments.mid(1);
    }
    QByteArray linkInStatus() const
    {
        QString error;
        const auto s = SenderStatus::fromJson(readRaw(workdir + QLatin1String("/SmsSender.status")), &error);
        return s ? QByteArray(SenderStatus::linkName(s->link)) : QByteArray();
    }
    // A program the test needs from the system: there, or the test fails in
    // CI (its setup installs it) and is skipped elsewhere, saying so.
    static bool needProgram(const QString& found, const char* package);
};

void TestWatch::init()
{
    make();
}

bool TestWatch::needProgram(const QString& found, const char* package)
{
    if (!found.isEmpty())
        return true;
    const QString text
        = QStringLiteral("%1 is not installed (scripts/setup.sh installs it)").arg(QLatin1String(package));
    if (!qEnvironmentVariableIsEmpty("CI"))
        QTest::qFail(qPrintable(text), __FILE__, __LINE__);
    else
        QTest::qSkip(qPrintable(text), __FILE__, __LINE__);
    return false;
}

void TestWatch::statusThroughEveryLinkState()
{
    QCOMPARE(runTool(tool({ QStringLiteral("status") })).code, 3); // never ran here

    FakeGateway gateway;
    QVERIFY(gateway.listen());
    writeSettings(gateway.port());
    ServiceProcess smsd;
    smsd.start(serviceArguments());
    // Connected, the log-in not answered yet.
    QTRY_COMPARE_WITH_TIMEOUT(gateway.received.size(), 396, 20000);
    QTRY_COMPARE_WITH_TIMEOUT(linkInStatus(), QByteArray("connecting"), 20000);
    ToolRun run = runTool(tool({ QStringLiteral("status") }));
    QCOMPARE(run.code, 1);
    QVERIFY2(run.out.startsWith("SMS WARNING - connecting since "), run.out.constData());

    gateway.send(FakeGateway::reply('0', "00000042", "Hello"));
    QTRY_COMPARE_WITH_TIMEOUT(linkInStatus(), QByteArray("logged-in"), 20000);
    run = runTool(tool({ QStringLiteral("status") }));
    QCOMPARE(run.code, 0);
    QVERIFY2(run.out.startsWith("SMS OK - logged in to 127.0.0.1:" + gateway.port() + " since "), run.out.constData());
    QVERIFY2(run.out.contains("counter 00000042") && run.out.contains("Info:        Hello"), run.out.constData());
    run = runTool(tool({ QStringLiteral("status"), QStringLiteral("--json") }));
    QCOMPARE(run.code, 0);
    QVERIFY(run.out.contains("\"link\": \"logged-in\""));

    // The gateway goes away: the service keeps trying, down between tries.
    gateway.server.close();
    gateway.resetPeer();
    QTRY_COMPARE_WITH_TIMEOUT(linkInStatus(), QByteArray("disconnected"), 30000);
    QCOMPARE(runTool(tool({ QStringLiteral("status") })).code, 1);

    // A status file two minutes old while the lock is held: hung.
    const qint64 pid = smsd.process.processId();
    ::kill(pid_t(pid), SIGSTOP);
    const QString statusPath = workdir + QLatin1String("/SmsSender.status");
    QByteArray old = readRaw(statusPath);
    const qsizetype at = old.indexOf("\"written\": \"") + 12;
    old.replace(at, 19, QDateTime::currentDateTime().addSecs(-200).toString(Qt::ISODate).toLatin1());
    QVERIFY(Fs::writeFile(QFile::encodeName(statusPath), old));
    run = runTool(tool({ QStringLiteral("status") }));
    QCOMPARE(run.code, 2);
    QVERIFY2(run.out.contains("s old; the program may hang"), run.out.constData());

    // Killed: the status file stays, the lock is free.
    ::kill(pid_t(pid), SIGKILL);
    QTRY_COMPARE(smsd.process.state(), QProcess::NotRunning);
    run = runTool(tool({ QStringLiteral("status") }));
    QCOMPARE(run.code, 2);
    QVERIFY2(run.out.startsWith("SMS CRITICAL - not running"), run.out.constData());
}

void TestWatch::sendWaitsForTheFate_data()
{
    QTest::addColumn<QString>("result"); // the gateway's result code
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("outcome");
    QTest::newRow("a gateway that accepts") << QStringLiteral("0") << 0 << QByteArray("accepted");
    QTest::newRow("a gateway that refuses") << QStringLiteral("1") << 1 << QByteArray("refused");
}

void TestWatch::sendWaitsForTheFate()
{
    QFETCH(QString, result);
    QFETCH(int, code);
    QFETCH(QByteArray, outcome);
    GatewayProcess gateway;
    QVERIFY2(gateway.start({ QStringLiteral("--result"), result, QStringLiteral("--counter"), QStringLiteral("9") }),
        qPrintable(gateway.error));
    writeSettings(QByteArray::number(gateway.port));
    ServiceProcess smsd;
    smsd.start(serviceArguments());

    ToolRun run = runTool(
        tool({ QStringLiteral("send"), QStringLiteral("--to"), QStringLiteral("+3912345"), QStringLiteral("--from"),
            QStringLiteral("Watch"), QStringLiteral("--wait=60"), QStringLiteral("tab\tin the text is fine") }),
        {}, 90000);
    QVERIFY2(run.code == code, run.out + run.err);
    const QByteArrayList printed = run.out.trimmed().split('\n');
    QCOMPARE(printed.size(), 2);
    const QByteArray name = printed[0];
    QCOMPARE(printed[1], outcome);

    // The ledger has the message's line; result reads it back.
    run = runTool(tool({ QStringLiteral("result"), QString::fromLatin1(name) }));
    QCOMPARE(run.code, code);
    QVERIFY(run.out.endsWith('\n'));
    const std::optional<Ledger::Line> line = Ledger::parse(run.out.chopped(1));
    QVERIFY(line);
    QCOMPARE(line->outboxName, name);
    QCOMPARE(line->result, result.toLatin1());
    QVERIFY(line->backupPath.startsWith(bakDir + "SmsFile_"));
    QCOMPARE(runTool(tool({ QStringLiteral("result"), QString::fromLatin1(line->backupPath) })).code, code);

    // Only a refused message goes back into the outbox, under a new name.
    run = runTool(tool({ QStringLiteral("requeue"), QString::fromLatin1(line->backupPath) }));
    QCOMPARE(run.code, code == 1 ? 0 : 65);
    if (code == 1) {
        const QByteArray again = run.out.trimmed();
        QVERIFY(again != name && again > name);
        QTRY_COMPARE_WITH_TIMEOUT(
            runTool(tool({ QStringLiteral("result"), QString::fromLatin1(again) })).code, 1, 30000);
    }
    smsd.process.terminate();
    QCOMPARE(smsd.waitForExit(), 0);
    QVERIFY2(smsd.errors().isEmpty(), smsd.err.constData());
}

void TestWatch::hundredSendsAtOnce()
{
    const QString records = workdir + QLatin1String("/records.log");
    GatewayProcess gateway;
    QVERIFY2(gateway.start({ QStringLiteral("--log"), records }), qPrintable(gateway.error));
    writeSettings(QByteArray::number(gateway.port));
    ServiceProcess smsd;
    smsd.start(serviceArguments());

    constexpr int Count = 100;
    std::vector<std::unique_ptr<QProcess>> senders;
    for (int i = 0; i < Count; ++i) {
        auto p = std::make_unique<QProcess>();
        p->start(toolBinary(),
            tool({ QStringLiteral("send"), QStringLiteral("--to"), QString::number(390000 + i),
                QStringLiteral("--from"), QStringLiteral("Crowd"), QStringLiteral("message number %1").arg(i) }));
        senders.push_back(std::move(p));
    }
    QSet<QByteArray> names;
    for (auto& p : senders) {
        QVERIFY(waitUntil([&p] { return p->state() == QProcess::NotRunning; }, 60000));
        QCOMPARE(p->exitCode(), 0);
        names.insert(p->readAllStandardOutput().trimmed());
    }
    QCOMPARE(names.size(), Count);
    // Whatever waits now is whole: three lines, as written.
    for (const QString& file : QDir(QFile::decodeName(outDir)).entryList(QDir::Files | QDir::Hidden)) {
        QVERIFY2(names.contains(file.toLatin1()), qPrintable(file)); // no temporary file left behind
        QVERIFY(readRaw(QFile::decodeName(outDir) + file).endsWith("\r\n"));
    }

    // Every one sent once, at the pace of the ticks.
    QTRY_COMPARE_WITH_TIMEOUT(backups(), Count, 120000);
    QTRY_COMPARE_WITH_TIMEOUT(
        readRaw(workdir + QLatin1String("/SmsSender.results")).count("\taccepted\t"), Count, 30000);
    QMap<QByteArray, int> texts;
    for (const QByteArray& line : readRaw(records).split('\n')) {
        const QByteArrayList fields = line.split('\t');
        if (fields.value(2) == "N") // time, connection, command, ..., text
            ++texts[fields.value(8)];
    }
    QCOMPARE(texts.size(), Count);
    for (auto it = texts.cbegin(); it != texts.cend(); ++it)
        QVERIFY2(it.value() == 1 && it.key().startsWith("message number "), it.key().constData());
    QCOMPARE(runTool(tool({ QStringLiteral("status") })).code, 0);
    smsd.process.terminate();
    QCOMPARE(smsd.waitForExit(), 0);
    QVERIFY2(smsd.errors().isEmpty(), smsd.err.constData());
}

void TestWatch::pauseResumeDrain()
{
    GatewayProcess gateway;
    QVERIFY2(gateway.start({ QStringLiteral("--counter"), QStringLiteral("9") }), qPrintable(gateway.error));
    writeSettings(QByteArray::number(gateway.port));
    ServiceProcess smsd;
    smsd.start(serviceArguments());
    QTRY_COMPARE_WITH_TIMEOUT(linkInStatus(), QByteArray("logged-in"), 20000);

    ToolRun run = runTool(tool({ QStringLiteral("pause") }));
    QVERIFY2(run.code == 0, run.err.constData());
    run = runTool(tool({ QStringLiteral("status") }));
    QCOMPARE(run.code, 1);
    QVERIFY2(run.out.startsWith("SMS WARNING - paused\n"), run.out.constData());
    run = runTool(tool({ QStringLiteral("resume") }));
    QVERIFY2(run.code == 0, run.err.constData());
    QCOMPARE(runTool(tool({ QStringLiteral("status") })).code, 0);

    // The service ends by itself, with 0, and only then does drain return.
    run = runTool(tool({ QStringLiteral("drain") }), {}, 90000);
    QVERIFY2(run.code == 0, run.err.constData());
    QCOMPARE(smsd.waitForExit(), 0);
    QVERIFY(!QFile::exists(workdir + QLatin1String("/SmsSender.control/drain")));
}

void TestWatch::metricsReadBackAndServed()
{
    // Debian's own Python, where its package puts the module (another one
    // may come first in PATH).
    const QString python = QStandardPaths::findExecutable(QStringLiteral("python3"), { QStringLiteral("/usr/bin") });
    QProcess probe;
    probe.start(python.isEmpty() ? QStringLiteral("python3") : python,
        { QStringLiteral("-c"), QStringLiteral("import prometheus_client.parser") });
    const bool parser
        = probe.waitForFinished(30000) && probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0;
    if (!needProgram(parser ? python : QString(), "python3-prometheus-client"))
        return;
    const QString exporter = QStandardPaths::findExecutable(QStringLiteral("prometheus-node-exporter"));
    if (!needProgram(exporter, "prometheus-node-exporter"))
        return;

    GatewayProcess gateway;
    QVERIFY2(gateway.start("--counter 30"), qPrintable(gateway.error));
    writeSettings(QByteArray::number(gateway.port));
    const QString textfiles = workdir + QLatin1String("/textfiles");
    QVERIFY(QDir().mkpath(textfiles));
    const QString metrics = textfiles + QLatin1String("/marlek-sms.prom");
    QVERIFY(Fs::writeFile(outDir + "m.sms", "+391\r\nMetrics\r\ncounted\r\n"));
    QVERIFY(Fs::writeFile(outDir + "wait.flh", "+392\r\nMetrics\r\nqueued\r\n"));
    ServiceProcess smsd;
    smsd.start(serviceArguments({ QStringLiteral("--metrics"), metrics }));
    QTRY_COMPARE_WITH_TIMEOUT(backups(), 2, 30000);
    // Written every 10 s: wait for the one that counts both.
    QTRY_VERIFY_WITH_TIMEOUT(readRaw(metrics).contains("marlek_sms_messages_total{outcome=\"accepted\"} 2\n"), 30000);

    // Read back by the format's own parser.
    const QString script = QStringLiteral(R"(import sys
from prometheus_client.parser import text_string_to_metric_families
for family in text_string_to_metric_families(open(sys.argv[1]).read()):
    for s in family.samples:
        print(family.type, s.name, ",".join(k + "=" + v for k, v in sorted(s.labels.items())), s.value)
)");
    QProcess parse;
    parse.start(python, { QStringLiteral("-c"), script, metrics });
    QVERIFY(parse.waitForFinished(30000));
    const QByteArray parsed = parse.readAllStandardOutput();
    QVERIFY2(parse.exitCode() == 0, parse.readAllStandardError().constData());
    for (const QByteArray& expected : QByteArrayList { "counter marlek_sms_messages_total outcome=accepted 2.0",
             "counter marlek_sms_messages_total outcome=refused 0.0", "counter marlek_sms_logins_total  1.0",
             "gauge marlek_sms_link_up  1.0", "gauge marlek_sms_gateway_counter  28.0",
             "gauge marlek_sms_queued_files kind=sms 0.0", "gauge marlek_sms_unanswered  0.0",
             "gauge marlek_sms_oldest_queued_seconds  0.0" })
        QVERIFY2(parsed.contains(expected + '\n'), (expected + " not in:\n" + parsed).constData());

    // Served by a real node_exporter's textfile collector, on a loopback port.
    QTcpServer portFinder;
    QVERIFY(portFinder.listen(QHostAddress::LocalHost, 0));
    const quint16 port = portFinder.serverPort();
    const QString address = QStringLiteral("127.0.0.1:%1").arg(port);
    portFinder.close();
    ServiceProcess node; // ends it whatever the test's outcome
    node.process.setProcessChannelMode(QProcess::MergedChannels);
    node.process.start(exporter,
        { QStringLiteral("--web.listen-address=") + address, QStringLiteral("--collector.disable-defaults"),
            QStringLiteral("--collector.textfile"), QStringLiteral("--collector.textfile.directory=") + textfiles });
    QByteArray page;
    QVERIFY2(waitUntil(
                 [&] {
                     QTcpSocket http;
                     http.connectToHost(QHostAddress::LocalHost, port);
                     if (!http.waitForConnected(1000))
                         return false;
                     http.write("GET /metrics HTTP/1.0\r\nHost: " + address.toLatin1() + "\r\n\r\n");
                     page.clear();
                     while (http.waitForReadyRead(3000))
                         page += http.readAll();
                     return page.contains("marlek_sms_link_up");
                 },
                 30000),
        (page + node.process.readAll()).constData());
    QVERIFY2(page.contains("\nnode_textfile_scrape_error 0\n"), page.constData());
    QVERIFY(page.contains("\nmarlek_sms_messages_total{outcome=\"accepted\"} 2\n"));
    QVERIFY(page.contains("\nmarlek_sms_link_up 1\n"));
    node.process.terminate();
    QVERIFY(node.process.waitForFinished(10000));

    // At the end the file is written once more: the link is down.
    smsd.process.terminate();
    QCOMPARE(smsd.waitForExit(), 0);
    QVERIFY(readRaw(metrics).contains("\nmarlek_sms_link_up 0\n"));
    QVERIFY2(smsd.errors().isEmpty(), smsd.err.constData());
}

QTEST_GUILESS_MAIN(TestWatch)
#include "tst_watch.moc"
