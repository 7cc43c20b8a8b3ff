#pragma once

#include "enginelog.h"
#include "engineoptions.h"
#include "enginestatus.h"
#include "gatewaylink.h"
#include "inflight.h"
#include "outbox.h"
#include "pollingtick.h"
#include "queuegate.h"
#include "resulthook.h"
#include "statusfiles.h"

#include <QObject>
#include <QTimer>

class Clock;
class ErrorPresenter;
class SettingsStore;

// The dispatch engine, built once by the program that hosts it (the window
// or the service): the log, the link, the outbox, the polling tick, what
// waits for replies, the result hook and the files other programs watch,
// wired together. Its hosts give it options, start and stop it, and follow
// it through its status and its log events; errors of its own event-loop
// entry points go to the presenter it is given.
class DispatchEngine : public QObject
{
    Q_OBJECT
public:
    DispatchEngine(SettingsStore& settings, ErrorPresenter& presenter, const Clock& clock, QObject* parent = nullptr);
    ~DispatchEngine() override;

    // The options from now on; the result command, the bound on unanswered
    // records and the answer timeout apply at once, the poll interval at the
    // next log-in, the log's from its next line.
    void configure(const EngineOptions& options);
    const EngineOptions& options() const { return m_options; }

    // Starts the files in dir (empty: the working directory): the status
    // file, the ledger and the crash journal. Names with "No reply for" what
    // an earlier run there sent without an answer, then journals every
    // message from here on. Throws when the journal cannot be written or was
    // damaged (it is then set aside); call it once, after configure() and
    // while holding the directory's WorkdirLock.
    void start(const QByteArray& dir = QByteArray());
    // Program end: the link closes without a word, the result commands
    // still running are killed and the results not delivered are named in
    // the log (and handed back, for a host whose log goes nowhere now), and
    // the status file says the sender has gone.
    QList<QByteArray> stop();

    // Connects to the configured gateway; throws what the link throws (a
    // bad port, an address changed under a connected link).
    void connectToGateway() { m_link.start(); }
    // Stops the link: the messages still waiting for a reply are named.
    void disconnectFromGateway() { m_link.stop(); }
    // The connection goes without a disconnected event, and the polling stops.
    void closeQuietly();

    const EngineStatus& status() const { return m_status; }

    // The parts, for hosts that need one of them and for the tests.
    EngineLog& log() { return m_log; }
    InFlight& inflight() { return m_inflight; }
    Outbox& outbox() { return m_outbox; }
    GatewayLink& link() { return m_link; }
    PollingTick& tick() { return m_tick; }
    QueueGate& gate() { return m_gate; }
    ResultHook& results() { return m_results; }
    StatusFiles& statusFiles() { return m_statusFiles; }

Q_SIGNALS:
    void statusChanged(EngineStatus::Changes changes);
    // A drain asked for is done: nothing waits for a reply any more. The
    // window stops the link; the service ends.
    void drained();

private:
    // Changes the status and tells of it.
    template <typename F> void update(EngineStatus::Changes changes, F&& change);
    // Counts the files waiting afresh; tells when they changed.
    void refreshQueue();

    SettingsStore& m_settings;
    const Clock& m_clock;
    EngineOptions m_options;
    EngineStatus m_status;
    EngineLog m_log;
    InFlight m_inflight;
    Outbox m_outbox;
    GatewayLink m_link;
    QueueGate m_gate;
    PollingTick m_tick;
    ResultHook m_results;
    StatusFiles m_statusFiles;
    // Coalesces the outbox's change notifications into one count.
    QTimer m_queueRefresh;
};
