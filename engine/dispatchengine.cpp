#include "dispatchengine.h"

#include "guard.h"

DispatchEngine::DispatchEngine(SettingsStore& settings, OperatorView& view, const Clock& clock)
    : log(view, clock)
    , link(settings, log, view)
    , tick(settings, outbox, link, log, view, clock)
{
    QObject::connect(&link.timer(), &QTimer::timeout, &link, [this, &view] { runGuarded(view, [this] { tick.Timer1Timer(); }); });
}
