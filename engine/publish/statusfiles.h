#pragma once

#include "backgroundwriter.h"
#include "enginestatus.h"
#include "fsutil.h"
#include "messagefate.h"
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

// The files other programs watch the sender by: the status file (rewritten
// on every change, at most once a second and at least once a minute), the
// ledger of fates (a line per settled message) and, when asked for, the
// metrics file for node_exporter's textfile collector (every 10 s and at
// the end). They show the engine's status, read from its source when
// written; nothing is written before open(). The status and metrics files
// are put together here and written on a thread of their own; the ledger's
// line is appended at once.
class StatusFiles : public QObject
{
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds ShortestGap { 1000 };
    static constexpr std::chrono::milliseconds LongestGap { 60000 };
    static constexpr std::chrono::milliseconds MetricsGap { 10000 };

    // The status as it stands now (the files waiting counted afresh).
    using Source = std::function<const EngineStatus&()>;

    StatusFiles(Source source, EngineLog& log, const Clock& clock, QObject* parent = nullptr);

    // Writes the status file and the ledger in dir (empty: the working
    // directory) from now on; call it holding the folder's WorkdirLock.
    void open(const QByteArray& dir);
    bool isOpen() const { return m_open; }
    // The metrics file (empty: none), written from now on.
    void setMetricsFile(const QByteArray& path);
    const QByteArray& metricsFile() const { return m_metricsPath; }
    void setProgram(const QString& program, const QString& version, qint64 pid);

    // The engine's status changed: the files follow (the status file within
    // a second) where the change shows in them.
    void noteChanged(EngineStatus::Changes changes);
    // The message's line goes into the ledger now.
    void noteSettled(const MessageFate& fate);

    // Program end: the status and metrics once more, and on the disk before
    // this returns.
    void finish();
    // Returns once the status and metrics files handed over are written.
    void flushWrites() { m_writer.flush(); }
    // How long the last of them took to write, on the writer's thread.
    std::chrono::microseconds lastWriteTime() const { return m_writer.lastWriteTime(); }

    // The status file's contents as they stand.
    SenderStatus status();
    static QByteArray metricsText(const SenderStatus& status);

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

    Source m_source;
    EngineLog& m_log;
    const Clock& m_clock;
    QString m_program;
    QString m_version;
    qint64 m_pid = 0;
    bool m_open = false;
    QByteArray m_dir;
    QByteArray m_metricsPath;
    QTimer m_statusTimer;
    QTimer m_metricsTimer;
    QElapsedTimer m_sinceWrite; // invalid until the first write
    int m_statusWrites = 0;
    Fs::AppendFile m_ledger;
    BackgroundWriter m_writer; // last: it ends, writing what waits, first
    bool m_statusFailed = false;
    bool m_ledgerFailed = false;
    bool m_metricsFailed = false;
};
