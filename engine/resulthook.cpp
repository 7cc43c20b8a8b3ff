#include "resulthook.h"

#include "enginelog.h"
#include "guard.h"

#include <QFile>
#include <QProcess>
#include <QTimer>

ResultHook::ResultHook(EngineLog& log, OperatorView& view, QObject* parent)
    : QObject(parent)
    , m_log(log)
    , m_view(view)
{
}

ResultHook::~ResultHook()
{
    for (const Run& run : std::as_const(m_runs)) {
        run.process->disconnect(this);
        run.process->kill();
        run.process->waitForFinished(1000); // reaping a killed child; spares Qt's warning
    }
}

QStringList ResultHook::arguments(const MessageFate& fate)
{
    // The bytes go back out as the system's file names do, so a name with
    // blanks or quotes reaches the command as one argument, unchanged.
    const QByteArray code = fate.resultCode ? QByteArray(1, fate.resultCode) : QByteArray();
    return { QString::fromLatin1(MessageFate::outcomeName(fate.outcome)), QFile::decodeName(fate.backupPath),
        QFile::decodeName(fate.outboxName), QFile::decodeName(code), QFile::decodeName(fate.counter) };
}

void ResultHook::report(const MessageFate& fate)
{
    if (m_command.isEmpty())
        return;
    m_waiting.push_back(fate);
    startWaiting();
}

void ResultHook::startWaiting()
{
    while (m_runs.size() < MaxRunning && !m_waiting.empty()) {
        const MessageFate fate = m_waiting.front();
        m_waiting.pop_front();
        start(fate);
    }
}

void ResultHook::start(const MessageFate& fate)
{
    auto* process = new QProcess(this);
    auto* limit = new QTimer(process);
    limit->setSingleShot(true);
    limit->setInterval(m_timeLimit);
    m_runs.append(Run { process, limit, fate });

    process->setProgram(m_command);
    process->setArguments(arguments(fate));
    // Nothing to read from us, and nothing of its stdout kept in our memory;
    // its stderr goes where ours goes.
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);

    connect(limit, &QTimer::timeout, this, [this, process] { timedOut(process); });
    connect(process, &QProcess::finished, this, [this, process](int code, QProcess::ExitStatus status) {
        if (status == QProcess::CrashExit)
            failed(process, "crashed");
        else if (code != 0)
            failed(process, "exit code " + QByteArray::number(code));
        ended(process);
    });
    // Queued: a start failure may be told inside start(), while the list of
    // runs is being filled.
    connect(
        process, &QProcess::errorOccurred, this,
        [this, process](QProcess::ProcessError error) {
            if (error != QProcess::FailedToStart)
                return; // a crash is told again by finished()
            failed(process, "cannot start (" + process->errorString().toLocal8Bit() + ")");
            ended(process);
        },
        Qt::QueuedConnection);

    limit->start();
    process->start();
}

ResultHook::Run* ResultHook::runOf(QProcess* process)
{
    for (Run& run : m_runs) {
        if (run.process == process)
            return &run;
    }
    return nullptr;
}

void ResultHook::failed(QProcess* process, const QByteArray& reason)
{
    Run* run = runOf(process);
    // One line per run: a killed command also ends as a crash.
    if (!run || std::exchange(run->failureLogged, true))
        return;
    log("Result command failed: " + reason);
}

void ResultHook::timedOut(QProcess* process)
{
    const QByteArray seconds = QByteArray::number(double(m_timeLimit.count()) / 1000.0);
    failed(process, "still running after " + seconds + " s, killed");
    // The place stays taken until the killed command has ended.
    process->kill();
}

void ResultHook::ended(QProcess* process)
{
    if (!runOf(process))
        return;
    m_runs.removeIf([process](const Run& run) { return run.process == process; });
    process->disconnect(this);
    process->deleteLater();
    startWaiting();
    Q_EMIT runEnded();
    if (m_runs.isEmpty() && m_waiting.empty())
        Q_EMIT idle();
}

QByteArray ResultHook::notDelivered(const MessageFate& fate)
{
    return QByteArray("Result not delivered: ") + MessageFate::outcomeName(fate.outcome) + ' ' + fate.backupPath;
}

QList<QByteArray> ResultHook::finish()
{
    QList<QByteArray> lines;
    // A command cut short has not confirmed the result either.
    for (const Run& run : std::exchange(m_runs, {})) {
        run.process->disconnect(this);
        run.process->kill();
        run.process->waitForFinished(1000);
        run.process->deleteLater();
        lines.append(notDelivered(run.fate));
    }
    for (const MessageFate& fate : std::exchange(m_waiting, {}))
        lines.append(notDelivered(fate));
    for (const QByteArray& line : std::as_const(lines))
        log(line);
    return lines;
}

void ResultHook::log(const QByteArray& line)
{
    // A bad line limit must not reach the event loop, nor stop the runs.
    runGuarded(m_view, [this, &line] { m_log.appendLine(line); });
}
