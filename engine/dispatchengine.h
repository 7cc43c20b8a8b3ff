#pragma once

#include "enginelog.h"
#include "gatewaylink.h"
#include "inflight.h"
#include "outbox.h"
#include "pollingtick.h"
#include "resulthook.h"
#include "statusfiles.h"

class Clock;
class OperatorView;
class SettingsStore;

// The dispatch engine as the main window owns it: the log, the link with its
// timer, the outbox and the polling tick, wired together, the result hook
// told of every message's fate, and the files other programs watch.
class DispatchEngine
{
public:
    DispatchEngine(SettingsStore& settings, OperatorView& view, const Clock& clock);

    // Starts the crash journal in dir (empty: the working directory): names
    // with "No reply for" what an earlier run there sent without an answer,
    // then journals every message from here on. The status file and the
    // ledger of fates there start first, so the ledger has those too. Throws
    // when the journal cannot be written or was damaged (it is then set
    // aside); call it once, while holding the directory's WorkdirLock.
    void openJournal(const QByteArray& dir);

    EngineLog log;
    // What waits for the gateway's replies, with the crash journal.
    InFlight inflight;
    Outbox outbox;
    GatewayLink link;
    PollingTick tick;
    // Off until given a command; set it before openJournal() so that the
    // fates recovered there reach it too.
    ResultHook results;
    StatusFiles statusFiles;

private:
    const Clock& m_clock;
};
