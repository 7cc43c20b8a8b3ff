#pragma once

#include "messagefate.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <chrono>
#include <deque>
#include <map>
#include <memory>

class EngineLog;
class QThread;
class ResultRunner;

// Tells the producer each message's fate by running its command with five
// arguments: outcome, backup path, outbox name, result character, counter.
// The commands run beside the event loop, a few at a time; the rest wait in
// the order their fates became known.
class ResultHook : public QObject
{
    Q_OBJECT
public:
    static constexpr int MaxRunning = 4;
    static constexpr std::chrono::milliseconds DefaultTimeLimit { 30000 };

    explicit ResultHook(EngineLog& log, QObject* parent = nullptr);
    // Kills what still runs without a word; call finish() first to name it.
    ~ResultHook() override;

    // The program to run, taken whole (no shell, no splitting); empty: none.
    void setCommand(const QString& command) { m_command = command; }
    const QString& command() const { return m_command; }
    // A command still running after this long is killed.
    void setTimeLimit(std::chrono::milliseconds limit) { m_timeLimit = limit; }

    // Queues one fate for the command; starts it at once when a place is free.
    // Does nothing without a command.
    void report(const MessageFate& fate);

    // Program end: kills the commands still running and names every result
    // that was not delivered in the log. Returns the lines it wrote, for a
    // caller whose log goes nowhere once the window is gone.
    QList<QByteArray> finish();

    int running() const { return int(m_running.size()); }
    qsizetype waiting() const { return qsizetype(m_waiting.size()); }

    // The five arguments the command gets for a fate.
    static QStringList arguments(const MessageFate& fate);

Q_SIGNALS:
    // One command run ended (well or not); the tests and a draining caller
    // wait on it.
    void runEnded();
    // Nothing running and nothing waiting.
    void idle();

private:
    friend class ResultRunner;

    void startWaiting();
    void ended(quint64 run, const QByteArray& failure);
    void stopRunner();
    static QByteArray notDelivered(const MessageFate& fate);

    EngineLog& m_log;
    QString m_command;
    std::chrono::milliseconds m_timeLimit = DefaultTimeLimit;
    std::deque<MessageFate> m_waiting;
    std::map<quint64, MessageFate> m_running; // by run number: oldest first
    quint64 m_lastRun = 0;
    bool m_finishing = false;
    // Starting a process waits until the child has started, which under load
    // takes milliseconds: the processes live on a thread of their own.
    std::unique_ptr<QThread> m_thread;
    ResultRunner* m_runner = nullptr; // lives on m_thread
};
