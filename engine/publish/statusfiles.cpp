#include "statusfiles.h"

#include "enginelog.h"
#include "intparse.h"
#include "messagekind.h"
#include "paths.h"
#include "timestamp.h"

#include <algorithm>

namespace {
using Ledger::Outcomes;

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

StatusFiles::StatusFiles(Source source, EngineLog& log, const Clock& clock, QObject* parent)
    : QObject(parent)
    , m_source(std::move(source))
    , m_log(log)
    , m_clock(clock)
{
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
    m_program = program;
    m_version = version;
    m_pid = pid;
    changed();
}

void StatusFiles::noteChanged(EngineStatus::Changes changes)
{
    // The ticks and the polling are not in the files.
    if (changes & ~(EngineStatus::Tick | EngineStatus::Polling))
        changed();
}

void StatusFiles::noteSettled(const MessageFate& fate)
{
    if (!m_open)
        return;
    const QByteArray result = fate.resultCode ? QByteArray(1, fate.resultCode) : QByteArray();
    appendLedger(Ledger::format({ isoLocalTime(m_clock.now(), true), Ledger::Outcome(fate.outcome), fate.outboxName,
        fate.backupPath, result, fate.counter }));
}

void StatusFiles::changed()
{
    if (!m_open)
        return;
    const qint64 gap = ShortestGap.count();
    const qint64 wait = m_sinceWrite.isValid() ? std::max<qint64>(0, gap - m_sinceWrite.elapsed()) : 0;
    if (!m_statusTimer.isActive() || m_statusTimer.remainingTime() > wait)
        m_statusTimer.start(int(wait));
}

SenderStatus StatusFiles::status()
{
    SenderStatus s;
    static_cast<EngineStatus&>(s) = m_source();
    s.program = m_program;
    s.version = m_version;
    s.pid = m_pid;
    s.written = m_clock.now();
    s.oldestQueuedSeconds = s.oldestQueuedAge(s.written);
    return s;
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

QByteArray StatusFiles::metricsText(const SenderStatus& s)
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
        { { {}, QByteArray::number(s.logins) } });
    addMetric(&out, "marlek_sms_connections_lost_total", "counter",
        "Connections to the gateway lost since the start (a stop asked for is not counted).",
        { { {}, QByteArray::number(s.connectionsLost) } });
    addMetric(&out, "marlek_sms_answer_timeouts_total", "counter",
        "Times the gateway left a record unanswered too long since the start.",
        { { {}, QByteArray::number(s.answerTimeouts) } });
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
    const auto gauge = [&](const char* name, const char* help, bool on) {
        addMetric(&out, name, "gauge", help, { { {}, on ? "1" : "0" } });
    };
    gauge("marlek_sms_paused", "1 while the operator has paused the sending, else 0.", s.paused);
    gauge("marlek_sms_send_window_open", "1 while files may be sent by the send window (or there is none), else 0.",
        s.sendWindowOpen.value_or(true));
    gauge("marlek_sms_capped", "1 while the hourly or daily cap holds the sending back, else 0.",
        s.cappedUntil.isValid());
    gauge("marlek_sms_credit_low", "1 while the gateway's counter is at or under the low-credit mark, else 0.",
        s.creditLow);
    return out;
}

void StatusFiles::writeMetrics()
{
    if (m_metricsPath.isEmpty())
        return;
    // Readable by the exporter, which runs as a user of its own.
    const bool failed = m_writer.post(m_metricsPath, metricsText(status()), 0644);
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
        m_log.info("Cannot write " + what + ' ' + path);
    }
    *reported = failed;
}

void StatusFiles::finish()
{
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
