#include "pollingtick.h"

#include "enginelog.h"
#include "gatewaylink.h"
#include "inflight.h"
#include "operatorview.h"
#include "outbox.h"
#include "paths.h"
#include "settings.h"
#include "smserror.h"

PollingTick::PollingTick(SettingsStore& settings, Outbox& outbox, GatewayLink& link, EngineLog& log, OperatorView& view,
    const Clock& clock, InFlight& inflight)
    : m_settings(settings)
    , m_outbox(outbox)
    , m_link(link)
    , m_log(log)
    , m_view(view)
    , m_clock(clock)
    , m_inflight(inflight)
{
}

void PollingTick::Timer1Timer()
{
    m_view.toggleActivityLight();
    // A file taken while there is no connection would be archived and never
    // sent.
    if (!m_link.isConnected())
        return;
    // A gateway that stopped answering must not swallow the outbox.
    if (m_inflight.full())
        return;
    // Read afresh each tick: a saved change applies from the next one.
    const Settings s = m_settings.values();
    const QByteArray name = m_outbox.findNextMessageFile(s.outboxDir);
    if (name.isEmpty())
        return;
    const QByteArray ext = extensionOf(name);
    const MessageKind* kind = MessageKinds::byExtension(ext);
    if (!kind)
        return;
    if (m_view.viewActionsChecked())
        m_log.appendLine("Found SMS File Ext = " + ext);

    GatewayRecord::Message message;
    try {
        if (!m_outbox.readMessageFile(s.outboxDir, name, &message))
            return; // still being written, or gone: a later tick sees to it
    } catch (const SmsError&) {
        m_outbox.passOver(s.outboxDir, name);
        throw;
    }
    const QByteArray record
        = GatewayRecord::buildMessageRecord(message, kind->command, { s.userName, s.password, s.userKey });

    const QByteArray backup = Outbox::backupName(s.backupDir, ext, m_clock);
    const QByteArray outboxPath = joinDir(s.outboxDir, name);
    // On the disk before the file moves: a crash from here on still leaves
    // the message named at the next start.
    const bool journaled = m_inflight.beginMessage(backup, outboxPath);
    if (!journaled || !Outbox::archiveMessageFile(s.outboxDir, name, backup)) {
        if (journaled)
            m_inflight.messageNotMoved(backup);
        // Sending it anyway would send it again on every tick. Say so once
        // per file; the move is tried again on every tick.
        if (!m_moveFailReported.contains(name)) {
            m_moveFailReported.insert(name);
            m_log.appendLine("Cannot move " + outboxPath + " to " + backup);
        }
        return;
    }
    m_moveFailReported.remove(name);
    m_inflight.messageMoved(backup);
    m_link.sendMessageRecord(record, backup, name);
}
