#pragma once

#include "enginestatus.h"
#include "ledger.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <array>
#include <optional>

// The status file, SmsSender.status in the working directory: what the
// running sender is doing, as JSON, replaced whole. The engine writes it;
// marlek-sms and monitoring read it.
struct SenderStatus : EngineStatus
{
    static constexpr const char* FileName = "SmsSender.status";
    static constexpr unsigned FileMode = 0640;
    // The folder's lock (a QLockFile), held while a sender runs there.
    static constexpr const char* LockFileName = "SmsSender.lock";

    // The one link-state type, under the name the readers of the file know.
    using Link = LinkState;
    static const char* linkName(Link link);

    QString program;
    QString version;
    qint64 pid = 0;
    // The longest wait at the time written: 0 with none waiting, nothing
    // while not known.
    std::optional<qint64> oldestQueuedSeconds;
    QDateTime written;

    // Keys in a fixed order, two-space indents, a line break at the end.
    QByteArray toJson() const;
    // Nothing, and the reason in *error, when the text is no status file.
    static std::optional<SenderStatus> fromJson(const QByteArray& json, QString* error);
};
