#include "resulthook.h"

#include "childpriority.h"
#include "enginelog.h"

#include <QCoreApplication>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QScopedValueRollback>
#include <QThread>
#include <QTimer>

// The processes themselves, on the hook's thread: starts them, kills them
// at the time limit, and tells the hook how each run ended.
class ResultRunner : public QObject
{
public:
    explicit ResultRunner(ResultHook* hook)
        : m_hook(hook)
    {
    }

    void start(quint64 run, const QString& program, const QStringList& arguments, std::chrono::milliseconds limit);
    // Kills every command still running and frees every process.
    void killAll();

private:
    void end(quint64 run, const QByteArray& failure);

    ResultHook* m_hook;
    QHash<quint64, QProcess*> m_processes;
    QHash<quint64, QByteArray> m_killed; // why a run was killed
};

void ResultRunner::start(
    quint64 run, const QString& program, const QStringList& arguments, std::chrono::milliseconds limit)
{
    auto* process = new QProcess(this);
    m_processes.insert(run, process);
    process->setProgram(program);
    process->setArguments(arguments);
    // Nothing to read from us, and nothing of its stdout kept in our memory;
    // its stderr goes where ours goes.
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    runBehindSender(*process);

    auto* timer = new QTimer(process);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, [this, run, process, limit] {
        const QByteArray seconds = QByteArray::number(double(limit.count()) / 1000.0);
        // Told when the killed command has ended, which also frees its place.
        m_killed.insert(run, "still running after " + seconds + " s, killed");
        process->kill();
    });
    connect(process, &QProcess::finished, this, [this, run](int code, QProcess::ExitStatus status) {
        if (m_killed.contains(run))
            end(run, m_killed.take(run));
        else if (status == QProcess::CrashExit)
            end(run, "crashed");
        else
            end(run, code == 0 ? QByteArray() : "exit code " + QByteArray::number(code));
    });
    // A crash is told again by finished(); a start failure only here.
    connect(process, &QProcess::errorOccurred, this, [this, run, process](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            end(run, "cannot start (" + process->errorString().toLocal8Bit() + ")");
    });

    timer->start(limit);
    process->start();
}

void ResultRunner::end(quint64 run, const QByteArray& failure)
{
    QProcess* process = m_processes.take(run);
    if (!process)
        return;
    process->disconnect(this);
    process->deleteLater();
    QMetaObject::invokeMethod(
        m_hook, [hook = m_hook, run, failure] { hook->ended(run, failure); }, Qt::QueuedConnection);
}

void ResultRunner::killAll()
{
    for (QProcess* process : std::as_const(m_processes)) {
        process->disconnect(this);
        process->kill();
        process->waitForFinished(1000); // reaping a killed child; spares Qt's warning
    }
    m_processes.clear();
    m_killed.clear();
    // Those ended earlier too: a process must be freed on its own thread.
    qDeleteAll(findChildren<QProcess*>(Qt::FindDirectChildrenOnly));
}

ResultHook::ResultHook(EngineLog& log, QObject* parent)
    : QObject(parent)
    , m_log(log)
{
}

ResultHook::~ResultHook()
{
    stopRunner();
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
    while (!m_finishing && m_running.size() < MaxRunning && !m_waiting.empty()) {
        if (!m_thread) {
            m_thread = std::make_unique<QThread>();
            m_runner = new ResultRunner(this);
            m_runner->moveToThread(m_thread.get());
            m_thread->start();
        }
        const quint64 run = ++m_lastRun;
        const MessageFate& fate = m_running.emplace(run, m_waiting.front()).first->second;
        m_waiting.pop_front();
        QMetaObject::invokeMethod(
            m_runner,
            [runner = m_runner, run, program = m_command, args = arguments(fate), limit = m_timeLimit] {
                runner->start(run, program, args, limit);
            },
            Qt::QueuedConnection);
    }
}

void ResultHook::ended(quint64 run, const QByteArray& failure)
{
    // A run that finish() has already named is gone from the list.
    if (m_running.erase(run) == 0)
        return;
    if (!failure.isEmpty())
        m_log.warning("Result command failed: " + failure);
    startWaiting();
    Q_EMIT runEnded();
    if (m_running.empty() && m_waiting.empty())
        Q_EMIT idle();
}

void ResultHook::stopRunner()
{
    if (!m_thread)
        return;
    QMetaObject::invokeMethod(
        m_runner, [runner = m_runner] { runner->killAll(); }, Qt::BlockingQueuedConnection);
    m_thread->quit();
    m_thread->wait();
    delete m_runner;
    m_runner = nullptr;
    m_thread.reset();
}

QByteArray ResultHook::notDelivered(const MessageFate& fate)
{
    return QByteArray("Result not delivered: ") + MessageFate::outcomeName(fate.outcome) + ' ' + fate.backupPath;
}

QList<QByteArray> ResultHook::finish()
{
    // A command cut short has not confirmed the result either.
    stopRunner();
    // Runs that ended before the kill are told as they ended, not named.
    const QScopedValueRollback<bool> finishing(m_finishing, true);
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    QList<QByteArray> lines;
    for (const auto& [run, fate] : std::exchange(m_running, {}))
        lines.append(notDelivered(fate));
    for (const MessageFate& fate : std::exchange(m_waiting, {}))
        lines.append(notDelivered(fate));
    for (const QByteArray& line : std::as_const(lines))
        m_log.info(line);
    return lines;
}
