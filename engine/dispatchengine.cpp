#include "dispatchengine.h"

#include "errorroute.h"
#include "operatorview.h"

DispatchEngine::DispatchEngine(SettingsStore& settings, OperatorView& view, const Clock& clock)
    : log(view, clock)
    , link(settings, log, view)
    , tick(settings, outbox, link, log, view, clock, &journal)
    , results(log, view)
{
    QObject::connect(&link, &GatewayLink::messageSettled, &link,
        [this, &view](const MessageFate& fate) { runGuarded(view, [&] { journal.settle(fate); }); });
    QObject::connect(
        &link.timer(), &QTimer::timeout, &link, [this, &view] { runGuarded(view, [this] { tick.Timer1Timer(); }); });
    // After the journal: a fate is told to the producer once it is settled.
    QObject::connect(&link, &GatewayLink::messageSettled, &results, &ResultHook::report);
}

void DispatchEngine::openJournal(const QByteArray& dir)
{
    const QList<MessageFate> unanswered = journal.open(dir);
    // Named first, then dropped: dying in between names them twice rather
    // than never.
    const std::optional<SmsError> failure = link.reportUnanswered(unanswered);
    journal.clearRecovered();
    if (failure)
        throw *failure;
}
