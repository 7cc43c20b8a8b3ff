#pragma once

#include "linkstate.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <array>
#include <optional>

// What the engine knows of itself at one moment: one snapshot, kept by the
// engine and read by the window, the service, the status file and the
// metrics. The status file adds who wrote it and when (SenderStatus).
struct EngineStatus
{
    // What a change touched, so that an observer reacts to its own parts.
    enum Change : unsigned {
        Link = 1 << 0, // link, since, gateway
        Counter = 1 << 1,
        Info = 1 << 2,
        Polling = 1 << 3,
        Queue = 1 << 4,
        Unanswered = 1 << 5,
        Fates = 1 << 6, // totals and last
        Tick = 1 << 7,
        Counts = 1 << 8, // log-ins, losses, answer timeouts
        Control = 1 << 9, // paused, draining, send window, cap, credit
    };
    using Changes = unsigned;

    LinkState link = LinkState::Disconnected;
    QDateTime since; // when link last changed
    QString gateway; // "host:port"
    QByteArray counter; // the gateway's last values, in its code page
    QByteArray info;
    // The polling timer runs: from the first reply after Start until the
    // link stops. Start is offered only while it does not.
    bool polling = false;
    // Files waiting, by kind in search order (MessageKinds::searchOrder);
    // nothing while not known (the first scan of a large outbox).
    std::optional<std::array<qint64, 4>> queued;
    // When the longest-waiting file was queued, in seconds since the epoch.
    std::optional<qint64> oldestQueuedAt;
    qint64 unanswered = 0;
    // Since start, by outcome (Ledger::Outcome order).
    std::array<qint64, 4> totals {};
    std::array<QDateTime, 4> last; // invalid: none yet
    // The operator's controls of the queue: no file is taken while paused,
    // draining, outside the send window or capped.
    bool paused = false;
    bool draining = false;
    // Nothing without a send window; else whether it is open, and when that
    // changes.
    std::optional<bool> sendWindowOpen;
    QDateTime sendWindowChangesAt;
    QDateTime cappedUntil; // invalid: not capped
    bool creditLow = false;
    qint64 ticks = 0;
    QDateTime lastTick;
    qint64 logins = 0;
    qint64 connectionsLost = 0; // a stop asked for is not counted
    qint64 answerTimeouts = 0;

    bool linkUp() const { return link == LinkState::LoggedIn; }
    // The window's connection lights.
    bool lightsGreen() const { return linkUp() && polling; }
    // All kinds together; nothing while not known.
    std::optional<qint64> queuedTotal() const
    {
        if (!queued)
            return std::nullopt;
        qint64 total = 0;
        for (const qint64 n : *queued)
            total += n;
        return total;
    }
    // Seconds the longest-waiting file has waited at now: 0 with none
    // waiting, nothing while not known.
    std::optional<qint64> oldestQueuedAge(const QDateTime& now) const
    {
        const std::optional<qint64> total = queuedTotal();
        if (!total)
            return std::nullopt;
        if (*total == 0)
            return 0;
        if (!oldestQueuedAt)
            return std::nullopt;
        return std::max<qint64>(0, now.toSecsSinceEpoch() - *oldestQueuedAt);
    }
};
