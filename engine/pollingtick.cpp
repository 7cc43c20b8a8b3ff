#include "pollingtick.h"

#include "enginelog.h"
#include "engineoptions.h"
#include "errorroute.h"
#include "gatewaylink.h"
#include "inflight.h"
#include "outbox.h"
#include "paths.h"
#include "queuegate.h"
#include "settings.h"
#include "smserror.h"

PollingTick::PollingTick(SettingsStore& settings, const EngineOptions& options, Outbox& outbox, GatewayLink& link,
    EngineLog& log, ErrorPresenter& presenter, const Clock& clock, InFlight& inflight, QueueGate& gate, QObject* parent)
    : QObject(parent)
    , m_settings(settings)
    , m_options(options)
    , m_outbox(outbox)
    , m_link(link)
    , m_log(log)
    , m_clock(clock)
    , m_inflight(inflight)
    , m_gate(gate)
{
    m_timer.setObjectName(QStringLiteral("Timer1"));
    m_timer.setInterval(EngineOptions::DefaultPollMs);
    connect(&m_timer, &QTimer::timeout, this, [this, &presenter] {
        runGuarded(presenter, [this] { runOnce(); });
        Q_EMIT tickDone();
    });
    connect(&link, &GatewayLink::pollIntervalChosen, this, [this](int ms) { m_timer.setInterval(ms); });
    // Turning a running timer on again must not push its next tick back.
    connect(&link, &GatewayLink::replyHandled, this, [this] { setPolling(true); });
    connect(&link, &GatewayLink::closed, this, [this] { setPolling(false); });
}

void PollingTick::setPolling(bool on)
{
    if (on == m_timer.isActive())
        return;
    if (on)
        m_timer.start();
    else
        m_timer.stop();
    Q_EMIT pollingChanged(on);
}

QDateTime PollingTick::nextBackupTime() const
{
    // Names have milliseconds, and two moves can fall in one: the timer makes
    // up for a late tick at once. The later takes the next millisecond, as
    // the earlier may still wait for its answer under that name.
    QDateTime at = m_clock.now();
    if (m_lastBackup.isValid() && at <= m_lastBackup)
        at = m_lastBackup.addMSecs(1);
    return at;
}

void PollingTick::runOnce()
{
    Q_EMIT ticked();
    // A file taken while there is no connection would be archived and never
    // sent.
    if (!m_link.isConnected())
        return;
    // A gateway that stopped answering must not swallow the outbox.
    if (m_inflight.full())
        return;
    if (!m_gate.mayTake())
        return;
    // Read afresh each tick: a saved change applies from the next one.
    const Settings s = m_settings.values();
    for (int attempt = 0; attempt < TakeAttempts; ++attempt) {
        const QByteArray name = m_outbox.findNextMessageFile(s.outboxDir);
        if (name.isEmpty() || sendFile(s, name))
            return;
    }
}

bool PollingTick::sendFile(const Settings& s, const QByteArray& name)
{
    const QByteArray ext = extensionOf(name);
    const MessageKind* kind = MessageKinds::byExtension(ext);
    if (!kind)
        return true;
    // Said only once the file is known to be this sender's, so that one
    // another sender took leaves no line.
    const auto found = [&] {
        if (m_options.logFoundFiles)
            m_log.info("Found SMS File Ext = " + ext);
    };

    GatewayRecord::Message message;
    Outbox::Read read = Outbox::Read::Gone;
    try {
        read = m_outbox.readMessageFile(s.outboxDir, name, &message);
    } catch (const SmsError&) {
        found();
        m_outbox.passOver(s.outboxDir, name);
        throw;
    }
    // Once a run: without the capability a file of another user can be
    // taken half-written once it has been still for a moment.
    if (const QByteArray refused = m_outbox.takeLeaseRefusal(); !refused.isEmpty())
        m_log.info("No read lease on " + refused
            + ": the program needs CAP_LEASE to hold back files of other users that are still being written");
    if (read == Outbox::Read::Gone)
        return false;
    if (read == Outbox::Read::Waiting) {
        found();
        return true; // still being written: a later tick sees to it
    }
    const QByteArray record
        = GatewayRecord::buildMessageRecord(message, kind->command, { s.userName, s.password, s.userKey });

    const QDateTime at = nextBackupTime();
    const QByteArray backup = Outbox::backupName(s.backupDir, ext, at);
    const QByteArray outboxPath = joinDir(s.outboxDir, name);
    const FileStamp stamp = fileStamp(outboxPath);
    const bool expired = stamp.mtimeNs >= 0 && m_gate.expired(stamp.mtimeNs / 1000000000);
    // On the disk before the file moves: a crash from here on still leaves
    // the message named at the next start. An expired file is set aside as
    // every file is, and never sent: nothing to journal.
    bool journaled = true;
    try {
        if (!expired)
            journaled = m_inflight.beginMessage(backup, outboxPath);
    } catch (const SmsError&) {
        found();
        throw;
    }
    const Fs::Moved moved = journaled ? Outbox::archiveMessageFile(s.outboxDir, name, backup) : Fs::Moved::Failed;
    if (moved != Fs::Moved::Yes && journaled && !expired)
        m_inflight.messageNotMoved(backup);
    if (moved == Fs::Moved::Gone) {
        m_moveFailReported.remove(name);
        return false;
    }
    if (moved == Fs::Moved::Failed) {
        found();
        // Sending it anyway would send it again on every tick. Say so once
        // per file; the move is tried again on every tick.
        if (!m_moveFailReported.contains(name)) {
            m_moveFailReported.insert(name);
            m_log.info("Cannot move " + outboxPath + " to " + backup);
        }
        return true;
    }
    if (expired) {
        m_moveFailReported.remove(name);
        m_lastBackup = at;
        found();
        m_log.info("Expired: " + backup);
        MessageFate fate;
        fate.outcome = MessageFate::Expired;
        fate.backupPath = backup;
        fate.outboxName = name;
        m_inflight.settle(fate);
        return true;
    }
    m_moveFailReported.remove(name);
    m_lastBackup = at;
    m_inflight.messageMoved(backup);
    if (m_link.sendMessageRecord(record, backup, name))
        m_gate.noteSent();
    // After the send: the log may throw, and the file has left the outbox.
    found();
    return true;
}
