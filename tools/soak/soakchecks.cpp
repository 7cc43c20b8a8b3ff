#include "soakchecks.h"

#include "dispatchengine.h"
#include "errorroute.h"
#include "textfile.h"

#include <QDateTime>
#include <QDir>

#include <algorithm>
#include <cstdio>

namespace {
const char* const Extensions[] = { ".sms", ".ring", ".lnol", ".flh" };
} // namespace

QByteArray messageId(int i)
{
    return "soak-" + QByteArray::number(i).rightJustified(6, '0');
}

void writeMessageFile(const QByteArray& outDir, int i)
{
    TextFile::writeLines(outDir + messageId(i) + Extensions[i % 4],
        { "39" + QByteArray::number(3000000000LL + i), "Soak", messageId(i) });
}

void writeMessageFiles(const QByteArray& outDir, int files)
{
    for (int i = 0; i < files; ++i)
        writeMessageFile(outDir, i);
}

bool hasFiles(const QByteArray& dir)
{
    return !QDir(QFile::decodeName(dir)).isEmpty(QDir::Files);
}

bool SoakGateway::start(const QString& binary, const QString& logPath, const QStringList& fault)
{
    log = logPath;
    return GatewayProcess::start(QStringList { QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--log"),
                                     logPath, QStringLiteral("--counter"), QStringLiteral("99999999") }
            + fault,
        binary);
}

SoakView::SoakView(const QString& logPath)
    : RecordingView(Counting)
    , m_file(logPath)
{
    m_file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    options.saveLog = true;
    options.pollInterval = 200;
    options.logFoundFiles = false;
    onLine = [this](const QByteArray& line) { tally(line); };
    onError = [this](const QString& text) { m_file.write("ERROR: " + text.toLatin1() + '\n'); };
}

void SoakView::tally(const QByteArray& line)
{
    m_file.write(line + '\n');
    if (line.startsWith("No reply for "))
        unanswered.append(line.mid(13));
    else if (line.startsWith("Cannot move "))
        moveFailures.append(line);
    else if (line == "Transaction Success..." || line == "Transaction Fail...")
        ++answers;
    else if (line.startsWith("Result "))
        resultFailures.append(line);
    else if (line == "Connected")
        ++connects;
    else if (line == "Socket Disconnect")
        ++disconnects;
    else if (line == "Socket Error")
        ++socketErrors;
}

FastTicker::FastTicker(DispatchEngine& engine, ErrorPresenter& presenter, int intervalMs)
{
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setInterval(intervalMs);
    m_clock.start();
    QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this, &engine, &presenter] {
        const qint64 nowNs = m_clock.nsecsElapsed();
        if (!engine.tick().polling()) {
            m_lastCallNs = -1;
            return;
        }
        if (gaps && m_lastCallNs >= 0)
            gaps->push_back((nowNs - m_lastCallNs) / 1000);
        m_lastCallNs = nowNs;
        if (QDateTime::currentMSecsSinceEpoch() <= m_lastTickEndMs)
            return;
        runGuarded(presenter, [&] { engine.tick().runOnce(); });
        m_lastTickEndMs = QDateTime::currentMSecsSinceEpoch();
    });
}

void countRecords(const QString& path, QHash<QByteArray, int>* count, qint64* logins)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QByteArrayList fields = line.split('\t');
        if (fields.size() != 11)
            continue;
        if (fields[2] == "P")
            ++*logins;
        else
            ++(*count)[fields[8]];
    }
}

int checkOutbox(
    const QByteArray& outDir, const QHash<QByteArray, int>& sent, QSet<QByteArray>* seen, QStringList* failures)
{
    int count = 0;
    for (const QString& name : QDir(QFile::decodeName(outDir)).entryList(QDir::Files)) {
        const QByteArray id = TextFile::readLines(outDir + QFile::encodeName(name)).value(2);
        ++count;
        if (sent.contains(id))
            failures->append(QStringLiteral("%1 is still in the outbox but reached the gateway").arg(name));
        if (seen->contains(id))
            failures->append(QStringLiteral("%1 is there twice").arg(QString::fromLatin1(id)));
        seen->insert(id);
    }
    return count;
}

qsizetype checkWholeAndOnce(qsizetype inOutbox, qsizetype inBackup, qsizetype seen, int files,
    const QHash<QByteArray, int>& sent, QStringList* failures)
{
    if (inOutbox + inBackup != files || seen != files)
        failures->append(QStringLiteral("%1 files in the outbox and %2 in the backup directory, of %3")
                             .arg(inOutbox)
                             .arg(inBackup)
                             .arg(files));
    const auto twice = std::count_if(sent.cbegin(), sent.cend(), [](int n) { return n > 1; });
    if (twice > 0)
        failures->append(QStringLiteral("%1 messages reached the gateway more than once").arg(twice));
    return twice;
}

int verdict(const char* run, const QStringList& failures)
{
    for (const QString& f : failures)
        std::printf("%s: FAILED: %s\n", run, qPrintable(f));
    if (failures.isEmpty())
        std::printf("%s: passed\n", run);
    return failures.isEmpty() ? 0 : 1;
}
