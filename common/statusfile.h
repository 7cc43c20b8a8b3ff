#pragma once

#include "ledger.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <array>
#include <optional>

// The status file, SmsSender.status in the working directory: what the
// running sender is doing, as JSON, replaced whole. The engine writes it;
// marlek-sms and monitoring read it.
struct SenderStatus
{
    static constexpr const char* FileName = "SmsSender.status";
    static constexpr unsigned FileMode = 0640;
    // The folder's lock (a QLockFile), held while a sender runs there.
    static constexpr const char* LockFileName = "SmsSender.lock";

    enum class Link { Disconnected, Connecting, LoggedIn };
    static const char* linkName(Link link);

    QString program;
    QString version;
    qint64 pid = 0;
    Link link = Link::Disconnected;
    QDateTime since; // when link last changed
    QString gateway; // "host:port"
    QByteArray counter; // the gateway's last values, in its code page
    QByteArray info;
    // Files waiting, by kind in search order (MessageKinds::searchOrder);
    // nothing while not known (the first scan of a large outbox).
    std::optional<std::array<qint64, 4>> queued;
    std::optional<qint64> oldestQueuedSeconds;
    qint64 unanswered = 0;
    // Since start, by outcome (Ledger::Outcome order).
    std::array<qint64, 3> totals {};
    std::array<QDateTime, 3> last; // invalid: none yet
    QDateTime written;

    bool linkUp() const { return link == Link::LoggedIn; }

    // Keys in a fixed order, two-space indents, a line break at the end.
    QByteArray toJson() const;
    // Nothing, and the reason in *error, when the text is no status file.
    static std::optional<SenderStatus> fromJson(const QByteArray& json, QString* error);
};
