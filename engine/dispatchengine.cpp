#include "dispatchengine.h"

#include "errorroute.h"
#include "operatorview.h"

DispatchEngine::DispatchEngine(SettingsStore& settings, OperatorView& view, const Clock& clock)
    : log(view, clock)
    , link(settings, log, view, inflight)
    , tick(settings, outbox, link, log, view, clock, inflight)
    , results(log, view)
    , m_clock(clock)
{
    QObject::connect(
        &link.timer(), &QTimer::timeout, &link, [this, &view] { runGuarded(view, [this] { tick.Timer1Timer(); }); });
    // The journal has it by then: a fate is told to the producer once settled.
    QObject::connect(&inflight, &InFlight::messageSettled, &results, &ResultHook::report);
}

void DispatchEngine::openJournal(const QByteArray& dir)
{
    const QList<MessageFate> unanswered = inflight.journal().open(dir, m_clock);
    // Named first, then dropped: dying in between names them twice rather
    // than never.
    const std::optional<SmsError> failure = link.reportUnanswered(unanswered);
    inflight.journal().clearRecovered();
    if (failure)
        throw *failure;
}
