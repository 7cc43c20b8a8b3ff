#include "dispatchengine.h"

#include "settings.h"
#include "smserror.h"

#include <QCoreApplication>
#include <QFile>

#include <utility>

namespace {
// The outbox's notifications come per file; the count follows them at most
// this often.
constexpr int QueueRefreshGapMs = 100;
} // namespace

DispatchEngine::DispatchEngine(SettingsStore& settings, ErrorPresenter& presenter, const Clock& clock, QObject* parent)
    : QObject(parent)
    , m_settings(settings)
    , m_clock(clock)
    , m_log(m_options, presenter, clock)
    , m_outbox(clock)
    , m_link(settings, m_options, m_log, presenter, m_inflight)
    , m_gate(m_options, m_log, clock)
    , m_tick(settings, m_options, m_outbox, m_link, m_log, presenter, clock, m_inflight, m_gate)
    , m_results(m_log)
    , m_statusFiles(
          [this]() -> const EngineStatus& {
              refreshQueue();
              return m_status;
          },
          m_log, clock)
{
    m_status.since = clock.now();
    configure(m_options);

    // The link's state and what the gateway says.
    connect(&m_link, &GatewayLink::stateChanged, this, [this](LinkState state) {
        update(EngineStatus::Link, [&] {
            m_status.link = state;
            m_status.since = m_clock.now();
            m_status.gateway = m_link.gatewayAddress();
        });
        // The outbox's first scan runs while the link logs in, so that the
        // first tick finds the files there.
        if (state == LinkState::Connecting)
            refreshQueue();
    });
    connect(&m_link, &GatewayLink::loggedInToGateway, this,
        [this] { update(EngineStatus::Counts, [this] { ++m_status.logins; }); });
    connect(&m_link, &GatewayLink::closed, this, [this](CloseReason reason) {
        if (reason != CloseReason::Stopped)
            update(EngineStatus::Counts, [this] { ++m_status.connectionsLost; });
    });
    connect(&m_link, &GatewayLink::answerTimedOut, this,
        [this] { update(EngineStatus::Counts, [this] { ++m_status.answerTimeouts; }); });
    connect(&m_link, &GatewayLink::counterChanged, this, [this](const QByteArray& counter) {
        if (counter != m_status.counter)
            update(EngineStatus::Counter, [&] { m_status.counter = counter; });
        m_gate.noteCounter(counter);
    });
    connect(&m_link, &GatewayLink::infoChanged, this, [this](const QByteArray& info) {
        if (info != m_status.info)
            update(EngineStatus::Info, [&] { m_status.info = info; });
    });

    // The polling.
    connect(&m_tick, &PollingTick::pollingChanged, this,
        [this](bool on) { update(EngineStatus::Polling, [&] { m_status.polling = on; }); });
    connect(&m_tick, &PollingTick::ticked, this, [this] {
        update(EngineStatus::Tick, [this] {
            ++m_status.ticks;
            m_status.lastTick = m_clock.now();
        });
    });
    connect(&m_tick, &PollingTick::tickDone, this, &DispatchEngine::refreshQueue);

    // The messages: a fate is told to the producer once settled, and goes
    // into the ledger at that moment.
    connect(&m_inflight, &InFlight::unansweredChanged, this, [this](qsizetype n) {
        update(EngineStatus::Unanswered, [&] { m_status.unanswered = n; });
        m_gate.noteUnanswered(n);
    });

    // The queue's controls.
    connect(&m_gate, &QueueGate::changed, this, [this] {
        update(EngineStatus::Control, [this] {
            m_status.paused = m_gate.paused();
            m_status.draining = m_gate.draining();
            m_status.sendWindowOpen = m_gate.sendWindowOpen();
            m_status.sendWindowChangesAt = m_gate.sendWindowChangesAt();
            m_status.cappedUntil = m_gate.cappedUntil();
            m_status.creditLow = m_gate.creditLow();
        });
    });
    connect(&m_gate, &QueueGate::drained, this, &DispatchEngine::drained);
    connect(&m_inflight, &InFlight::messageSettled, this, [this](const MessageFate& fate) {
        m_results.report(fate);
        m_statusFiles.noteSettled(fate);
        update(EngineStatus::Fates, [&] {
            ++m_status.totals[size_t(fate.outcome)];
            m_status.last[size_t(fate.outcome)] = m_clock.now();
        });
    });

    m_queueRefresh.setSingleShot(true);
    m_queueRefresh.setInterval(QueueRefreshGapMs);
    connect(&m_queueRefresh, &QTimer::timeout, this, &DispatchEngine::refreshQueue);
    m_outbox.setQueueListener([this] {
        if (!m_queueRefresh.isActive())
            m_queueRefresh.start();
    });

    connect(this, &DispatchEngine::statusChanged, &m_statusFiles, &StatusFiles::noteChanged);
    m_statusFiles.setProgram(QCoreApplication::applicationName(), QCoreApplication::applicationVersion(),
        QCoreApplication::applicationPid());
}

DispatchEngine::~DispatchEngine()
{
    m_link.closeWithoutEvent();
}

template <typename F> void DispatchEngine::update(EngineStatus::Changes changes, F&& change)
{
    change();
    Q_EMIT statusChanged(changes);
}

void DispatchEngine::refreshQueue()
{
    std::optional<std::array<qint64, 4>> queued;
    std::optional<qint64> oldest;
    // Not configured: there is no outbox to count.
    if (!(m_settings.values() == Settings())) {
        if (const std::optional<Outbox::Queue> queue = m_outbox.queue(m_settings.values().outboxDir)) {
            queued = queue->counts;
            oldest = queue->oldestQueued;
        }
    }
    if (queued == m_status.queued && oldest == m_status.oldestQueuedAt)
        return;
    update(EngineStatus::Queue, [&] {
        m_status.queued = queued;
        m_status.oldestQueuedAt = oldest;
    });
}

void DispatchEngine::configure(const EngineOptions& options)
{
    const bool metricsMoved = options.metricsFile != m_options.metricsFile;
    m_options = options;
    m_inflight.setLimit(options.maxUnanswered);
    m_inflight.setAnswerTimeout(options.answerTimeout);
    m_results.setCommand(options.onResult);
    if (metricsMoved)
        m_statusFiles.setMetricsFile(QFile::encodeName(options.metricsFile));
}

void DispatchEngine::start(const QByteArray& dir)
{
    m_statusFiles.open(dir);
    // Named first, then dropped: dying in between names them twice rather
    // than never.
    try {
        m_link.reportUnanswered(m_inflight.openJournal(dir, m_clock));
        m_inflight.clearRecovered();
    } catch (const SmsError&) {
        // The controls hold all the same.
        m_gate.open(dir);
        throw;
    }
    m_gate.open(dir);
}

void DispatchEngine::closeQuietly()
{
    m_link.closeWithoutEvent();
    m_tick.halt();
}

QList<QByteArray> DispatchEngine::stop()
{
    closeQuietly();
    const QList<QByteArray> lines = m_results.finish();
    // The link goes with the program.
    update(EngineStatus::Link, [this] {
        if (m_status.link != LinkState::Disconnected) {
            m_status.link = LinkState::Disconnected;
            m_status.since = m_clock.now();
        }
    });
    m_statusFiles.finish();
    return lines;
}
