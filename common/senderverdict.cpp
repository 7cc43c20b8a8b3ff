#include "senderverdict.h"

#include "fsutil.h"
#include "messagekind.h"
#include "paths.h"
#include "processutil.h"
#include "textfile.h"
#include "timestamp.h"

#include <QLockFile>
#include <QStringList>
#include <QSysInfo>
#include <QThread>

namespace SenderVerdict {

namespace {

// The oldest queued file's age now. The status is rewritten whenever the
// files waiting change, so while it is not, the same file still waits.
std::optional<qint64> oldestNow(const SenderStatus& s, const QDateTime& now)
{
    if (!s.oldestQueuedSeconds)
        return std::nullopt;
    // Not known: taken as waiting.
    const qint64 waiting = s.queuedTotal().value_or(1);
    return waiting == 0 ? 0 : *s.oldestQueuedSeconds + std::max<qint64>(0, s.written.secsTo(now));
}

} // namespace

bool isStale(const SenderStatus& status, const QDateTime& now)
{
    return status.written.secsTo(now) > StaleStatusSeconds;
}

Verdict judge(const SenderStatus& status, bool held, const QDateTime& now, qint64 maxAge)
{
    if (!held)
        return { 2,
            QStringLiteral("SMS CRITICAL - not running (the status was last written %1)")
                .arg(QString::fromLatin1(isoLocalTime(status.written))) };
    const qint64 age = status.written.secsTo(now);
    if (age > StaleStatusSeconds)
        return { 2, QStringLiteral("SMS CRITICAL - the status file is %1 s old; the program may hang").arg(age) };
    QStringList warnings;
    if (!status.linkUp())
        warnings.append(QStringLiteral("%1 since %2, not logged in")
                            .arg(QLatin1String(SenderStatus::linkName(status.link)),
                                QString::fromLatin1(isoLocalTime(status.since))));
    // Held on purpose, but still no message leaves while paused.
    if (status.paused)
        warnings.append(QStringLiteral("paused"));
    if (const std::optional<qint64> oldest = oldestNow(status, now); oldest && *oldest > maxAge)
        warnings.append(
            QStringLiteral("the oldest queued file has waited %1 s (more than %2 s)").arg(*oldest).arg(maxAge));
    if (status.creditLow)
        warnings.append(status.counter.isEmpty()
                ? QStringLiteral("credit low")
                : QStringLiteral("credit low: %1 messages left").arg(QString::fromLatin1(status.counter)));
    if (!warnings.isEmpty())
        return { 1, QStringLiteral("SMS WARNING - ") + warnings.join(QStringLiteral("; ")) };
    return { 0,
        QStringLiteral("SMS OK - logged in to %1 since %2")
            .arg(status.gateway, QString::fromLatin1(isoLocalTime(status.since))) };
}

QString describe(const SenderStatus& s, const QDateTime& now)
{
    auto time = [](const QDateTime& t) { return t.isValid() ? QString::fromLatin1(isoLocalTime(t)) : u"never"_qs; };
    QStringList queued;
    if (s.queued) {
        for (size_t i = 0; i < MessageKinds::searchOrder.size(); ++i)
            queued.append(QStringLiteral("%1 %2")
                              .arg(QLatin1String(MessageKinds::searchOrder[i].extension + 1))
                              .arg((*s.queued)[i]));
    }
    const std::optional<qint64> age = oldestNow(s, now);
    const QString oldest = age ? QStringLiteral("%1 s").arg(*age) : u"not known"_qs;
    QStringList totals;
    QStringList last;
    for (const Ledger::Outcome o : Ledger::Outcomes) {
        totals.append(QStringLiteral("%1 %2").arg(QLatin1String(Ledger::outcomeName(o))).arg(s.totals[size_t(o)]));
        last.append(QStringLiteral("%1 %2").arg(QLatin1String(Ledger::outcomeName(o)), time(s.last[size_t(o)])));
    }
    const QStringList controls {
        s.paused ? u"paused"_qs : u"not paused"_qs,
        s.draining ? u"draining"_qs : u"not draining"_qs,
        !s.sendWindowOpen ? u"no send window"_qs
                          : QStringLiteral("send window %1 until %2")
                                .arg(*s.sendWindowOpen ? u"open"_qs : u"closed"_qs, time(s.sendWindowChangesAt)),
        s.cappedUntil.isValid() ? QStringLiteral("capped until %1").arg(time(s.cappedUntil)) : u"not capped"_qs,
        s.creditLow ? u"credit low"_qs : u"credit not low"_qs,
    };
    const QStringList lines {
        QStringLiteral("Program:     %1 %2, process %3").arg(s.program, s.version).arg(s.pid),
        QStringLiteral("Link:        %1 since %2").arg(QLatin1String(SenderStatus::linkName(s.link)), time(s.since)),
        QStringLiteral("Gateway:     %1, counter %2")
            .arg(s.gateway.isEmpty() ? u"-"_qs : s.gateway,
                s.counter.isEmpty() ? u"-"_qs : QString::fromLatin1(s.counter)),
        QStringLiteral("Info:        %1")
            .arg(TextFile::splitLines(s.info).isEmpty()
                    ? u"-"_qs
                    : QString::fromLatin1(TextFile::splitLines(s.info).join(" | "))),
        QStringLiteral("Queued:      %1; the oldest waiting %2")
            .arg(s.queued ? queued.join(u", ") : u"not known yet"_qs, oldest),
        QStringLiteral("Unanswered:  %1").arg(s.unanswered),
        QStringLiteral("Controls:    %1").arg(controls.join(u", ")),
        QStringLiteral("Since start: %1").arg(totals.join(u", ")),
        QStringLiteral("Last:        %1").arg(last.join(u", ")),
        QStringLiteral("Written:     %1 (%2 s ago)").arg(time(s.written)).arg(s.written.secsTo(now)),
    };
    return lines.join(u'\n') + u'\n';
}

std::optional<bool> lockHeld(const QByteArray& dir)
{
    const QByteArray path = joinDir(dir, SenderStatus::LockFileName);
    // Only looked at: the lock is never taken, so a sender starting now is
    // not kept out.
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (!Fs::exists(path))
            return false;
        QLockFile lock(QFile::decodeName(path));
        qint64 pid = 0;
        QString host;
        QString program;
        if (lock.getLockInfo(&pid, &host, &program)) {
            // Another machine's lock (a shared folder) cannot be checked.
            if (!host.isEmpty() && host != QSysInfo::machineHostName())
                return true;
            return Process::isRunning(pid, program);
        }
        // Being written this moment, or unreadable.
        QThread::msleep(50);
    }
    return Fs::exists(path) ? std::nullopt : std::optional<bool>(false);
}

} // namespace SenderVerdict
