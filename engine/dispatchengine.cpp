#include "dispatchengine.h"

#include "errorroute.h"
#include "operatorview.h"
#include "settings.h"

#include <QCoreApplication>

DispatchEngine::DispatchEngine(SettingsStore& settings, OperatorView& view, const Clock& clock)
    : log(view, clock)
    , outbox(clock)
    , link(settings, log, view, inflight)
    , tick(settings, outbox, link, log, view, clock, inflight)
    , results(log, view)
    , statusFiles(log, view, clock)
    , m_clock(clock)
{
    QObject::connect(
        &link.timer(), &QTimer::timeout, &link, [this, &view] { runGuarded(view, [this] { tick.Timer1Timer(); }); });
    // The journal has it by then: a fate is told to the producer once
    // settled, and goes into the ledger at that moment.
    QObject::connect(&inflight, &InFlight::messageSettled, &results, &ResultHook::report);
    QObject::connect(&inflight, &InFlight::messageSettled, &statusFiles, &StatusFiles::noteSettled);

    // The link's state, for the status file and the metrics.
    QObject::connect(&link, &GatewayLink::stateChanged, &statusFiles, [this](LinkState state) {
        statusFiles.setGateway(link.gatewayAddress());
        statusFiles.setLinkState(state);
    });
    QObject::connect(&link, &GatewayLink::loggedInToGateway, &statusFiles, &StatusFiles::noteLoggedIn);
    QObject::connect(&link, &GatewayLink::closed, &statusFiles, &StatusFiles::noteClosed);
    QObject::connect(&link, &GatewayLink::answerTimedOut, &statusFiles, &StatusFiles::noteAnswerTimedOut);
    QObject::connect(&link, &GatewayLink::counterChanged, &statusFiles, &StatusFiles::setCounter);
    QObject::connect(&link, &GatewayLink::infoChanged, &statusFiles, &StatusFiles::setInfo);
    QObject::connect(&inflight, &InFlight::unansweredChanged, &statusFiles, &StatusFiles::setUnanswered);

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
    const QList<MessageFate> unanswered = inflight.journal().open(dir, m_clock);
    // Named first, then dropped: dying in between names them twice rather
    // than never.
    const std::optional<SmsError> failure = link.reportUnanswered(unanswered);
    inflight.journal().clearRecovered();
    if (failure)
        throw *failure;
}
