#include "statusfiles.h"

#include "enginelog.h"
#include "errorroute.h"
#include "intparse.h"
#include "operatorview.h"
#include "paths.h"
#include "timestamp.h"

#include <QScopedValueRollback>

#include <algorithm>

namespace {
constexpr std::array<Ledger::Outcome, 3> Outcomes
    = { Ledger::Outcome::Accepted, Ledger::Outcome::Refused, Ledger::Outcome::Unanswered };

SenderStatus::Link statusLink(LinkState state)
{
    switch (state) {
    case LinkState::Connecting:
        return SenderStatus::Link::Connecting;
    case LinkState::LoggedIn:
        return SenderStatus::Link::LoggedIn;
    case LinkState::Disconnected:
        break;
    }
    return SenderStatus::Link::Disconnected;
}

// One metric: its HELP and TYPE lines, then its samples.
void addMetric(QByteArray* out, const char* name, const char* type, const char* help,
    const QList<std::pair<QByteArray, QByteArray>>& samples)
{
    out->append(QByteArray("# HELP ") + name + ' ' + help + '\n');
    out->append(QByteArray("# TYPE ") + name + ' ' + type + '\n');
    for (const auto& [labels, value] : samples)
        out->append(name + labels + ' ' + value + '\n');
}
} // namespace

StatusFiles::StatusFiles(EngineLog& log, OperatorView& view, const Clock& clock, QObject* parent)
    : QObject(parent)
    , m_log(log)
    , m_view(view)
    , m_clock(clock)
{
    m_status.since = m_clock.now();
    // Precise: a coarse timer may come early, and then twice in a second.
    m_statusTimer.setTimerType(Qt::PreciseTimer);
    m_statusTimer.setSingleShot(true);
    connect(&m_statusTimer, &QTimer::timeout, this, &StatusFiles::writeStatus);
    m_metricsTimer.setInterval(MetricsGap);
    connect(&m_metricsTimer, &QTimer::timeout, this, &StatusFiles::writeMetrics);
}

QByteArray StatusFiles::statusPath() const
{
    return joinDir(m_dir, SenderStatus::FileName);
}

QByteArray StatusFiles::ledgerPath() const
{
    return joinDir(m_dir, Ledger::FileName);
}

void StatusFiles::open(const QByteArray& dir)
{
    m_dir = dir;
    m_open = true;
    m_ledger.close();
    m_sinceWrite.invalidate();
    changed();
}

void StatusFiles::setMetricsFile(const QByteArray& path)
{
    m_metricsPath = path;
    if (path.isEmpty()) {
        m_metricsTimer.stop();
        return;
    }
    writeMetrics();
    m_metricsTimer.start();
}

void StatusFiles::setProgram(const QString& program, const QString& version, qint64 pid)
{
    m_status.program = program;
    m_status.version = version;
    m_status.pid = pid;
    changed();
}

void StatusFiles::setLinkState(LinkState state)
{
    const SenderStatus::Link link = statusLink(state);
    if (link == m_status.link)
        return;
    m_status.link = link;
    m_status.since = m_clock.now();
    changed();
}

void StatusFiles::setGateway(const QString& hostPort)
{
    if (hostPort == m_status.gateway)
        return;
    m_status.gateway = hostPort;
    changed();
}

void StatusFiles::setCounter(const QByteArray& counter)
{
    if (counter == m_status.counter)
        return;
    m_status.counter = counter;
    changed();
}

void StatusFiles::setInfo(const QByteArray& info)
{
    if (info == m_status.info)
        return;
    m_status.info = info;
    changed();
}

void StatusFiles::setUnanswered(qsizetype unanswered)
{
    if (unanswered == m_status.unanswered)
        return;
    m_status.unanswered = unanswered;
    changed();
}

void StatusFiles::noteLoggedIn()
{
    ++m_counters.logins;
}

void StatusFiles::noteClosed(CloseReason reason)
{
    if (reason != CloseReason::Stopped)
        ++m_counters.connectionsLost;
}

void StatusFiles::noteAnswerTimedOut()
{
    ++m_counters.answerTimeouts;
}

void StatusFiles::noteSettled(const MessageFate& fate)
{
    const QDateTime now = m_clock.now();
    const auto outcome = size_t(fate.outcome);
    ++m_status.totals[outcome];
    m_status.last[outcome] = now;
    if (m_open) {
        const QByteArray result = fate.resultCode ? QByteArray(1, fate.resultCode) : QByteArray();
        appendLedger(Ledger::format({ isoLocalTime(now, true), Ledger::Outcome(fate.outcome), fate.outboxName,
            fate.backupPath, result, fate.counter }));
    }
    changed();
}

void StatusFiles::changed()
{
    // What the status is put together from may tell of changes meanwhile;
    // they are in it already.
    if (!m_open || m_gathering)
        return;
    const qint64 gap = ShortestGap.count();
    const qint64 wait = m_sinceWrite.isValid() ? std::max<qint64>(0, gap - m_sinceWrite.elapsed()) : 0;
    if (!m_statusTimer.isActive() || m_statusTimer.remainingTime() > wait)
        m_statusTimer.start(int(wait));
}

SenderStatus StatusFiles::status()
{
    const QScopedValueRollback<bool> gathering(m_gathering, true);
    const QDateTime now = m_clock.now();
    if (m_queueSource) {
        const std::optional<Outbox::Queue> queue = m_queueSource();
        m_status.queued.reset();
        m_status.oldestQueuedSeconds.reset();
        if (queue) {
            m_status.queued = queue->counts;
            qint64 waiting = 0;
            for (const qint64 n : queue->counts)
                waiting += n;
            if (waiting == 0)
                m_status.oldestQueuedSeconds = 0;
            else if (queue->oldestQueued)
                m_status.oldestQueuedSeconds = std::max<qint64>(0, now.toSecsSinceEpoch() - *queue->oldestQueued);
        }
    }
    m_status.written = now;
    return m_status;
}

void StatusFiles::writeStatus()
{
    if (!m_open)
        return;
    // A failure is known from the write before: said once, late by a write.
    const bool failed = m_writer.post(statusPath(), status().toJson(), SenderStatus::FileMode);
    ++m_statusWrites;
    m_sinceWrite.start();
    m_statusTimer.start(int(LongestGap.count()));
    reportFailure(&m_statusFailed, failed, "the status file", statusPath());
}

QByteArray StatusFiles::metricsText(const SenderStatus& s, const Counters& c)
{
    QByteArray out;
    QList<std::pair<QByteArray, QByteArray>> messages;
    for (size_t i = 0; i < Outcomes.size(); ++i) {
        messages.append(
            { QByteArray("{outcome=\"") + Ledger::outcomeName(Outcomes[i]) + "\"}", QByteArray::number(s.totals[i]) });
    }
    addMetric(&out, "marlek_sms_messages_total", "counter",
        "Messages whose fate became known since the start, by outcome.", messages);
    addMetric(&out, "marlek_sms_logins_total", "counter", "Successful log-ins to the gateway since the start.",
        { { {}, QByteArray::number(c.logins) } });
    addMetric(&out, "marlek_sms_connections_lost_total", "counter",
        "Connections to the gateway lost since the start (a stop asked for is not counted).",
        { { {}, QByteArray::number(c.connectionsLost) } });
    addMetric(&out, "marlek_sms_answer_timeouts_total", "counter",
        "Times the gateway left a record unanswered too long since the start.",
        { { {}, QByteArray::number(c.answerTimeouts) } });
    addMetric(&out, "marlek_sms_link_up", "gauge", "1 while logged in to the gateway, else 0.",
        { { {}, s.linkUp() ? "1" : "0" } });
    // The counter is the gateway's text; a text that is no number has no sample.
    QList<std::pair<QByteArray, QByteArray>> counter;
    if (const std::optional<int> value = tryParseInteger(s.counter); value && !s.counter.trimmed().isEmpty())
        counter.append({ {}, QByteArray::number(*value) });
    addMetric(&out, "marlek_sms_gateway_counter", "gauge", "The gateway's last counter of messages to send.", counter);
    QList<std::pair<QByteArray, QByteArray>> queued;
    if (s.queued) {
        for (size_t i = 0; i < MessageKinds::searchOrder.size(); ++i) {
            queued.append({ QByteArray("{kind=\"") + (MessageKinds::searchOrder[i].extension + 1) + "\"}",
                QByteArray::number((*s.queued)[i]) });
        }
    }
    addMetric(&out, "marlek_sms_queued_files", "gauge", "Message files waiting in the outbox, by kind.", queued);
    addMetric(&out, "marlek_sms_unanswered", "gauge", "Message records sent and not yet answered.",
        { { {}, QByteArray::number(s.unanswered) } });
    QList<std::pair<QByteArray, QByteArray>> oldest;
    if (s.oldestQueuedSeconds)
        oldest.append({ {}, QByteArray::number(*s.oldestQueuedSeconds) });
    addMetric(&out, "marlek_sms_oldest_queued_seconds", "gauge",
        "Seconds the longest-waiting file has been in the outbox (0: none waiting).", oldest);
    const QDateTime& accepted = s.last[size_t(Ledger::Outcome::Accepted)];
    addMetric(&out, "marlek_sms_last_accepted_timestamp_seconds", "gauge",
        "When the gateway last accepted a message, in seconds since the epoch (0: not since the start).",
        { { {}, QByteArray::number(accepted.isValid() ? accepted.toSecsSinceEpoch() : 0) } });
    return out;
}

void StatusFiles::writeMetrics()
{
    if (m_metricsPath.isEmpty())
        return;
    // Readable by the exporter, which runs as a user of its own.
    const bool failed = m_writer.post(m_metricsPath, metricsText(status(), m_counters), 0644);
    reportFailure(&m_metricsFailed, failed, "the metrics file", m_metricsPath);
}

void StatusFiles::appendLedger(const QByteArray& line)
{
    bool ok = m_ledger.isOpen() || m_ledger.open(ledgerPath());
    if (ok && m_ledger.size() > 0 && m_ledger.size() + line.size() > Ledger::RotateSize)
        ok = rotateLedger();
    ok = ok && m_ledger.append(line, false);
    reportFailure(&m_ledgerFailed, !ok, "the ledger", ledgerPath());
}

bool StatusFiles::rotateLedger()
{
    m_ledger.close();
    const QByteArray stamp = timeStamp(m_clock.now());
    // Two rotations within one millisecond must not overwrite each other.
    for (int n = 0; n < 1000; ++n) {
        const QByteArray aside
            = joinDir(m_dir, Ledger::rotatedName(n == 0 ? stamp : stamp + '_' + QByteArray::number(n)));
        if (Fs::moveNoReplace(ledgerPath(), aside) == Fs::Moved::Yes || !Fs::exists(aside))
            break;
    }
    // A ledger that could not be set aside grows on rather than lose lines.
    return m_ledger.open(ledgerPath());
}

void StatusFiles::reportFailure(bool* reported, bool failed, const QByteArray& what, const QByteArray& path)
{
    if (failed && !*reported) {
        runGuarded(m_view, [this, &what, &path] { m_log.appendLine("Cannot write " + what + ' ' + path); });
    }
    *reported = failed;
}

void StatusFiles::finish()
{
    // The link goes with the program.
    setLinkState(LinkState::Disconnected);
    m_statusTimer.stop();
    m_metricsTimer.stop();
    writeStatus();
    m_statusTimer.stop();
    writeMetrics();
    const bool statusFailed = m_writer.flush(statusPath());
    if (m_open)
        reportFailure(&m_statusFailed, statusFailed, "the status file", statusPath());
    if (!m_metricsPath.isEmpty())
        reportFailure(&m_metricsFailed, m_writer.flush(m_metricsPath), "the metrics file", m_metricsPath);
}
