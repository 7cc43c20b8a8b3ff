#pragma once

#include "enginelog.h"
#include "gatewaylink.h"
#include "outbox.h"
#include "pollingtick.h"

class Clock;
class OperatorView;
class SettingsStore;

// The dispatch engine as the main window owns it: the log, the link with its
// timer, the outbox and the polling tick, wired together.
class DispatchEngine
{
public:
    DispatchEngine(SettingsStore& settings, OperatorView& view, const Clock& clock);

    EngineLog log;
    Outbox outbox;
    GatewayLink link;
    PollingTick tick;
};
