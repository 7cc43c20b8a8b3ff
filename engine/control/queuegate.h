#pragma once

#include "controlfolder.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QTimer>

#include <deque>
#include <optional>

class Clock;
class EngineLog;
struct EngineOptions;

// The operator's controls of the queue: pause, drain, the send window, the
// hourly and daily caps, and the low-credit warning. The tick asks it before
// it takes a file. Pause and drain are files in a control folder of the
// working directory, so that marlek-sms (as root or as a member of the
// sender's group) and the service's signals set them alike, and a pause
// outlives a restart. Each change is said once in the log.
class QueueGate : public QObject
{
    Q_OBJECT
public:
    // The control folder, group-writable, and the files in it.
    static constexpr const char* ControlDir = ControlFolder::Name;
    static constexpr const char* PauseFile = ControlFolder::PauseFile;
    static constexpr const char* DrainFile = ControlFolder::DrainFile;
    // How often the control files and the clock are looked at.
    static constexpr int CheckMs = 250;

    QueueGate(const EngineOptions& options, EngineLog& log, const Clock& clock, QObject* parent = nullptr);

    // Follows the control folder of dir (empty: the working directory),
    // made if missing, and counts the caps from the ledgers there.
    void open(const QByteArray& dir);

    // Whether a file may be taken now; says once why not.
    bool mayTake();
    // A record left for the gateway: counted against the caps.
    void noteSent();
    // The gateway's counter, for the low-credit warning.
    void noteCounter(const QByteArray& counter);
    // Records still waiting for replies: a drain ends at none.
    void noteUnanswered(qsizetype records);
    // Whether a file last changed at mtimeSeconds (since the epoch) has
    // waited too long.
    bool expired(qint64 mtimeSeconds) const;

    // SIGUSR1 and SIGUSR2: as marlek-sms pause and resume.
    void setPaused(bool paused);

    bool paused() const { return m_paused; }
    bool draining() const { return m_draining; }
    std::optional<bool> sendWindowOpen() const { return m_windowOpen; }
    const QDateTime& sendWindowChangesAt() const { return m_windowChangesAt; }
    const QDateTime& cappedUntil() const { return m_cappedUntil; }
    bool creditLow() const { return m_creditLow; }

    // The control folder's path for dir (empty: the working directory).
    static QByteArray controlPath(const QByteArray& dir, const char* file = nullptr);

Q_SIGNALS:
    void changed();
    // Draining, and nothing waits for a reply any more: the sending is done.
    void drained();

private:
    // Reads the control files and the clock; tells what changed.
    void check();
    void checkWindow(const QDateTime& now, bool* changedAny);
    void checkCaps(const QDateTime& now, bool* changedAny);
    void checkDrained();

    const EngineOptions& m_options;
    EngineLog& m_log;
    const Clock& m_clock;
    QByteArray m_dir;
    bool m_open = false;
    QTimer m_timer;
    bool m_paused = false;
    bool m_draining = false;
    qsizetype m_unanswered = 0;
    std::optional<bool> m_windowOpen;
    QDateTime m_windowChangesAt;
    QDateTime m_cappedUntil;
    bool m_creditLow = false;
    // When each record of the last day was sent, oldest first (ms since the
    // epoch).
    std::deque<qint64> m_sent;
};
