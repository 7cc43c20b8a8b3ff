#include "queuegate.h"

#include "enginelog.h"
#include "engineoptions.h"
#include "fsutil.h"
#include "intparse.h"
#include "ledger.h"
#include "paths.h"
#include "timestamp.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace {
constexpr qint64 HourMs = 3600 * 1000;
constexpr qint64 DayMs = 24 * HourMs;

QByteArray hhmm(const QDateTime& t)
{
    return t.toString(QStringLiteral("HH:mm")).toLatin1();
}
} // namespace

QueueGate::QueueGate(const EngineOptions& options, EngineLog& log, const Clock& clock, QObject* parent)
    : QObject(parent)
    , m_options(options)
    , m_log(log)
    , m_clock(clock)
{
    m_timer.setInterval(CheckMs);
    connect(&m_timer, &QTimer::timeout, this, &QueueGate::check);
}

QByteArray QueueGate::controlPath(const QByteArray& dir, const char* file)
{
    const QByteArray folder = joinDir(dir, ControlDir);
    return file ? folder + '/' + file : folder;
}

void QueueGate::open(const QByteArray& dir)
{
    m_dir = dir;
    m_open = true;
    // Group-writable, and its files the group's: the sender's group may
    // pause it, whatever the program's umask.
    const QString folder = QFile::decodeName(controlPath(dir));
    if (QDir().mkdir(folder) || QFileInfo(folder).isDir())
        QFile::setPermissions(folder,
            QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::WriteGroup
                | QFile::ExeGroup);
    // The caps hold across a restart: the records of the last day, from the
    // ledgers' lines. Without a cap nothing is read, nor a rotated ledger
    // last written before that day.
    const qint64 since = m_clock.now().toMSecsSinceEpoch() - DayMs;
    m_sent.clear();
    const bool capped = m_options.maxPerHour > 0 || m_options.maxPerDay > 0;
    for (const QByteArray& path : capped ? Ledger::files(dir) : QList<QByteArray>()) {
        QByteArray text;
        if (QFileInfo(QFile::decodeName(path)).lastModified().toMSecsSinceEpoch() <= since
            || !Fs::readFile(path, &text))
            continue;
        for (const QByteArray& line : text.split('\n')) {
            const std::optional<Ledger::Line> l = Ledger::parse(line);
            if (!l || l->outcome == Ledger::Outcome::Expired)
                continue;
            const qint64 at
                = QDateTime::fromString(QString::fromLatin1(l->time), Qt::ISODateWithMs).toMSecsSinceEpoch();
            if (at > since)
                m_sent.push_back(at);
        }
    }
    std::sort(m_sent.begin(), m_sent.end());
    check();
    m_timer.start();
}

void QueueGate::setPaused(bool paused)
{
    const QByteArray path = controlPath(m_dir, PauseFile);
    if (paused)
        Fs::writeFile(path, QByteArray());
    else
        Fs::removeFile(path);
    check();
}

bool QueueGate::mayTake()
{
    check();
    return !m_paused && !m_draining && m_windowOpen.value_or(true) && !m_cappedUntil.isValid();
}

void QueueGate::noteSent()
{
    m_sent.push_back(m_clock.now().toMSecsSinceEpoch());
}

void QueueGate::noteUnanswered(qsizetype records)
{
    m_unanswered = records;
    checkDrained();
}

bool QueueGate::expired(qint64 mtimeSeconds) const
{
    return m_options.maxAgeSeconds > 0 && m_clock.now().toSecsSinceEpoch() - mtimeSeconds > m_options.maxAgeSeconds;
}

void QueueGate::noteCounter(const QByteArray& counter)
{
    if (!m_options.lowCredit)
        return;
    const std::optional<int> left = tryParseInteger(counter);
    if (!left)
        return;
    const bool low = *left <= *m_options.lowCredit;
    if (low == m_creditLow)
        return;
    m_creditLow = low;
    // Once a fall: again only after the counter has risen above the mark.
    if (low)
        m_log.warning("Credit low: " + counter + " messages left");
    Q_EMIT changed();
}

void QueueGate::check()
{
    bool changedAny = false;
    if (m_open) {
        const bool paused = Fs::exists(controlPath(m_dir, PauseFile));
        if (paused != m_paused) {
            m_paused = paused;
            m_log.info(paused ? "Paused" : "Resumed");
            changedAny = true;
        }
        const bool draining = Fs::exists(controlPath(m_dir, DrainFile));
        if (draining != m_draining) {
            m_draining = draining;
            if (draining)
                m_log.info("Draining");
            changedAny = true;
        }
    }
    const QDateTime now = m_clock.now();
    checkWindow(now, &changedAny);
    checkCaps(now, &changedAny);
    if (changedAny)
        Q_EMIT changed();
    checkDrained();
}

void QueueGate::checkWindow(const QDateTime& now, bool* changedAny)
{
    if (!m_options.sendWindow) {
        if (m_windowOpen) {
            m_windowOpen.reset();
            m_windowChangesAt = QDateTime();
            *changedAny = true;
        }
        return;
    }
    const int start = m_options.sendWindow->startMinute;
    const int end = m_options.sendWindow->endMinute;
    const QTime t = now.time();
    const int minute = t.hour() * 60 + t.minute();
    const bool open = start < end ? (minute >= start && minute < end) : (minute >= start || minute < end);
    // The next boundary: the end while open, the start while closed.
    const int next = open ? end : start;
    QDateTime at(now.date(), QTime(next / 60, next % 60));
    if (at <= now)
        at = at.addDays(1);
    if (m_windowOpen == open && m_windowChangesAt == at)
        return;
    const bool wasClosed = m_windowOpen == false;
    const bool first = !m_windowOpen;
    m_windowOpen = open;
    m_windowChangesAt = at;
    *changedAny = true;
    if (!open)
        m_log.info("Send window closed until " + hhmm(at));
    else if (wasClosed && !first)
        m_log.info("Send window open until " + hhmm(at));
}

void QueueGate::checkCaps(const QDateTime& now, bool* changedAny)
{
    const qint64 nowMs = now.toMSecsSinceEpoch();
    while (!m_sent.empty() && m_sent.front() <= nowMs - DayMs)
        m_sent.pop_front();
    QDateTime until;
    QByteArray line;
    // Capped until the oldest record in the full window leaves it.
    if (m_options.maxPerDay > 0 && qsizetype(m_sent.size()) >= m_options.maxPerDay) {
        until = QDateTime::fromMSecsSinceEpoch(m_sent[m_sent.size() - size_t(m_options.maxPerDay)] + DayMs);
        line = "Daily cap of " + QByteArray::number(m_options.maxPerDay) + " reached until ";
    }
    if (m_options.maxPerHour > 0) {
        const auto inHour = std::count_if(m_sent.begin(), m_sent.end(), [&](qint64 t) { return t > nowMs - HourMs; });
        if (inHour >= m_options.maxPerHour) {
            const QDateTime hourly
                = QDateTime::fromMSecsSinceEpoch(m_sent[m_sent.size() - size_t(m_options.maxPerHour)] + HourMs);
            if (!until.isValid() || hourly > until) {
                until = hourly;
                line = "Hourly cap of " + QByteArray::number(m_options.maxPerHour) + " reached until ";
            }
        }
    }
    if (until.isValid() && until <= now)
        until = QDateTime();
    if (until == m_cappedUntil)
        return;
    const bool wasCapped = m_cappedUntil.isValid();
    m_cappedUntil = until;
    *changedAny = true;
    if (until.isValid() && !wasCapped)
        m_log.info(line + hhmm(until.toLocalTime()));
}

void QueueGate::checkDrained()
{
    if (!m_draining || m_unanswered > 0)
        return;
    // Done: the request is answered by its file going.
    Fs::removeFile(controlPath(m_dir, DrainFile));
    m_draining = false;
    m_log.info("Drained");
    Q_EMIT changed();
    Q_EMIT drained();
}
