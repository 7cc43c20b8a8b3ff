#pragma once

#include "backgroundwriter.h"
#include "fsutil.h"
#include "linkstate.h"
#include "messagefate.h"
#include "outbox.h"
#include "statusfile.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>

class Clock;
class EngineLog;
class OperatorView;

// The files other programs watch the sender by: the status file (rewritten
// on every change, at most once a second and at least once a minute), the
// ledger of fates (a line per settled message) and, when asked for, the
// metrics file for node_exporter's textfile collector (every 10 s and at
// the end). Fed through plain calls; nothing is written before open(). The
// status and metrics files are put together here and written on a thread
// of their own; the ledger's line is appended at once.
class StatusFiles : public QObject
{
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds ShortestGap { 1000 };
    static constexpr std::chrono::milliseconds LongestGap { 60000 };
    static constexpr std::chrono::milliseconds MetricsGap { 10000 };

    // Counted since start, for the metrics.
    struct Counters
    {
        qint64 logins = 0;
        qint64 connectionsLost = 0;
        qint64 answerTimeouts = 0;
    };

    StatusFiles(EngineLog& log, OperatorView& view, const Clock& clock, QObject* parent = nullptr);

    // Writes the status file and the ledger in dir (empty: the working
    // directory) from now on; call it holding the folder's WorkdirLock.
    void open(const QByteArray& dir);
    bool isOpen() const { return m_open; }
    // The metrics file (empty: none), written from now on.
    void setMetricsFile(const QByteArray& path);
    const QByteArray& metricsFile() const { return m_metricsPath; }
    void setProgram(const QString& program, const QString& version, qint64 pid);
    // Asked for the files waiting each time the status is put together.
    void setQueueSource(std::function<std::optional<Outbox::Queue>()> source) { m_queueSource = std::move(source); }

    void setLinkState(LinkState state);
    void setGateway(const QString& hostPort);
    void setCounter(const QByteArray& counter);
    void setInfo(const QByteArray& info);
    void setUnanswered(qsizetype unanswered);
    void noteLoggedIn();
    void noteClosed(CloseReason reason);
    void noteAnswerTimedOut();
    // The message's line goes into the ledger now; the totals count it.
    void noteSettled(const MessageFate& fate);
    void noteQueueChanged() { changed(); }

    // Program end: the status and metrics once more, the link down, and on
    // the disk before this returns.
    void finish();
    // Returns once the status and metrics files handed over are written.
    void flushWrites() { m_writer.flush(); }
    // How long the last of them took to write, on the writer's thread.
    std::chrono::microseconds lastWriteTime() const { return m_writer.lastWriteTime(); }

    // The status as it stands (the files waiting as last asked).
    SenderStatus status();
    const Counters& counters() const { return m_counters; }
    static QByteArray metricsText(const SenderStatus& status, const Counters& counters);

    QByteArray statusPath() const;
    QByteArray ledgerPath() const;
    int statusWrites() const { return m_statusWrites; }

    // The files now, whatever the gap since the last (handed to the writer's
    // thread): the timers call these, and so does the benchmark.
    void writeStatus();
    void writeMetrics();

private:
    void changed();
    void appendLedger(const QByteArray& line);
    bool rotateLedger();
    // Says once, until the file can be written again, that it cannot.
    void reportFailure(bool* reported, bool failed, const QByteArray& what, const QByteArray& path);

    EngineLog& m_log;
    OperatorView& m_view;
    const Clock& m_clock;
    SenderStatus m_status;
    Counters m_counters;
    std::function<std::optional<Outbox::Queue>()> m_queueSource;
    bool m_open = false;
    QByteArray m_dir;
    QByteArray m_metricsPath;
    QTimer m_statusTimer;
    QTimer m_metricsTimer;
    QElapsedTimer m_sinceWrite; // invalid until the first write
    bool m_gathering = false;
    int m_statusWrites = 0;
    Fs::AppendFile m_ledger;
    BackgroundWriter m_writer; // last: it ends, writing what waits, first
    bool m_statusFailed = false;
    bool m_ledgerFailed = false;
    bool m_metricsFailed = false;
};
