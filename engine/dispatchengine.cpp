#include "dispatchengine.h"

#include "errorroute.h"
#include "operatorview.h"
#include "settings.h"

#include <QCoreApplication>

DispatchEngine::DispatchEngine(SettingsStore& settings, OperatorView& view, const Clock& clock)
    : log(view, clock)
    , link(settings, log, view)
    , tick(settings, outbox, link, log, view, clock, &journal)
    , results(log, view)
    , statusFiles(log, view, clock)
{
    QObject::connect(&link, &GatewayLink::messageSettled, &link,
        [this, &view](const MessageFate& fate) { runGuarded(view, [&] { journal.settle(fate); }); });
    QObject::connect(
        &link.timer(), &QTimer::timeout, &link, [this, &view] { runGuarded(view, [this] { tick.Timer1Timer(); }); });
    // After the journal: a fate is told to the producer once it is settled,
    // and goes into the ledger at that moment.
    QObject::connect(&link, &GatewayLink::messageSettled, &results, &ResultHook::report);
    QObject::connect(&link, &GatewayLink::messageSettled, &statusFiles, &StatusFiles::noteSettled);

    statusFiles.setProgram(QCoreApplication::applicationName(), QCoreApplication::applicationVersion(),
        QCoreApplication::applicationPid());
    statusFiles.setQueueSource([this, &settings]() -> std::optional<Outbox::Queue> {
        // Not configured: there is no outbox to count.
        if (settings.values() == Settings())
            return std::nullopt;
        return outbox.queue(settings.values().outboxDir);
    });
    outbox.setQueueListener([this] { statusFiles.noteQueueChanged(); });
}

void DispatchEngine::openJournal(const QByteArray& dir)
{
    statusFiles.open(dir);
    const QList<MessageFate> unanswered = journal.open(dir);
    // Named first, then dropped: dying in between names them twice rather
    // than never.
    const std::optional<SmsError> failure = link.reportUnanswered(unanswered);
    journal.clearRecovered();
    if (failure)
        throw *failure;
}
