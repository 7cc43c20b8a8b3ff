#include "outboxindex.h"

#include "messagekind.h"
#include "paths.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QSocketNotifier>

#include <algorithm>

struct OutboxIndex::ScanJob
{
    std::atomic<bool> cancel { false };
    std::atomic<bool> done { false };
    bool complete = false;
    Kinds kinds;
    std::multiset<qint64> times;
};

namespace {
// Reads the directory into kinds; stops early when more than limit entries
// are met (limit < 0: no limit) or when cancel is set. Each name found is
// queued since its status change (written, or renamed in); without times
// (a trial that only counts) the files are not looked at.
Fs::WalkResult scanInto(const QByteArray& dir, OutboxIndex::Kinds* kinds, std::multiset<qint64>* times, int limit,
    const std::atomic<bool>* cancel, qint64 now)
{
    int seen = 0;
    return Fs::walkDirectory(dir, [&](const char* name, size_t length) {
        if ((limit >= 0 && ++seen > limit) || (cancel && cancel->load(std::memory_order_relaxed)))
            return false;
        const int kind = MessageKinds::indexOfName(name, length);
        if (kind < 0)
            return true;
        if (!times) {
            (*kinds)[size_t(kind)].emplace(std::string(name, length), now);
            return true;
        }
        Fs::FileInfo info;
        const qint64 queued = Fs::fileInfo(joinDir(dir, QByteArray(name, qsizetype(length))), &info)
            ? std::min(info.changedSeconds, now)
            : now;
        (*kinds)[size_t(kind)].emplace(std::string(name, length), queued);
        times->insert(queued);
        return true;
    });
}
} // namespace

OutboxIndex::OutboxIndex(
    std::function<void(const QByteArray&)> onRemoved, std::function<void()> onChanged, const Clock& clock)
    : m_clock(clock)
    , m_onRemoved(std::move(onRemoved))
    , m_onChanged(std::move(onChanged))
{
}

std::optional<qint64> OutboxIndex::oldestQueued() const
{
    if (m_queuedTimes.empty())
        return std::nullopt;
    return *m_queuedTimes.begin();
}

qint64 OutboxIndex::now() const
{
    return m_clock.now().toSecsSinceEpoch();
}

OutboxIndex::~OutboxIndex()
{
    cancelScan();
    stopWatch();
}

void OutboxIndex::follow(const QByteArray& dir, bool isNetwork)
{
    cancelScan();
    stopWatch();
    m_dir = dir;
    m_network = isNetwork;
}

OutboxIndex::State OutboxIndex::refresh()
{
    if (m_network)
        return State::Unwatched;
    if (!m_watch.isActive() && !startWatch())
        return State::Unwatched;
    QList<Fs::DirectoryWatch::Event> events;
    m_watch.readEvents(&events);
    for (const auto& event : events) {
        if (event.kind == Fs::DirectoryWatch::Event::Lost) {
            // Events were dropped, or the directory moved or went: what is
            // known can no longer be trusted. Whatever followed belongs to the
            // old watch.
            cancelScan();
            stopWatch();
            if (!startWatch())
                return State::Unwatched;
            break;
        }
        if (m_job)
            m_pending.append(event);
        else
            apply(event);
    }
    if (m_job) {
        if (!m_job->done.load(std::memory_order_acquire))
            return State::Scanning;
        m_worker.join();
        const bool complete = m_job->complete;
        if (complete) {
            m_kinds = std::move(m_job->kinds);
            m_queuedTimes = std::move(m_job->times);
        }
        m_job.reset();
        if (!complete) {
            // The directory went away under the scan.
            m_pending.clear();
            stopWatch();
            return State::Unwatched;
        }
        for (const auto& event : std::as_const(m_pending))
            apply(event);
        m_pending.clear();
        if (m_onChanged)
            m_onChanged();
    }
    return State::Ready;
}

bool OutboxIndex::startWatch()
{
    if (!m_watch.open())
        return false;
    // A small outbox is watched and read at once. Setting the watch costs
    // the system time in proportion to the directory's size, so a large one
    // is watched and read on a worker thread; events that arrive meanwhile
    // are kept and applied over the scan's result.
    m_kinds = {};
    m_queuedTimes.clear();
    m_pending.clear();
    Kinds kinds;
    std::multiset<qint64> times;
    // A trial: its names are read again once the watch is set.
    const Fs::WalkResult trial = scanInto(m_dir, &kinds, nullptr, InPlaceScanLimit, nullptr, now());
    if (trial == Fs::WalkResult::Failed) {
        m_watch.stop();
        return false;
    }
    ++m_fullScans;
    if (trial == Fs::WalkResult::Done) {
        // The watch comes first: whatever changes while the scan reads is
        // then among the events applied over its result.
        kinds = {};
        times.clear();
        if (!m_watch.add(m_dir) || scanInto(m_dir, &kinds, &times, -1, nullptr, now()) != Fs::WalkResult::Done) {
            m_watch.stop();
            return false;
        }
        m_kinds = std::move(kinds);
        m_queuedTimes = std::move(times);
        if (m_onChanged)
            m_onChanged();
    } else {
        m_job = std::make_shared<ScanJob>();
        m_worker = std::thread([job = m_job, dir = m_dir, watch = &m_watch, started = now()] {
            job->complete = watch->add(dir)
                && scanInto(dir, &job->kinds, &job->times, -1, &job->cancel, started) == Fs::WalkResult::Done;
            job->done.store(true, std::memory_order_release);
        });
    }
    if (QCoreApplication::instance()) {
        // Drains the kernel's queue between ticks so that it overflows less.
        m_notifier = new QSocketNotifier(qintptr(m_watch.descriptor()), QSocketNotifier::Read);
        QObject::connect(m_notifier, &QSocketNotifier::activated, m_notifier, [this] { refresh(); });
    }
    return true;
}

void OutboxIndex::stopWatch()
{
    if (m_notifier) {
        // May be inside its own signal.
        m_notifier->setEnabled(false);
        m_notifier->deleteLater();
        m_notifier = nullptr;
    }
    m_watch.stop();
    qsizetype names = 0;
    for (const Names& kind : m_kinds)
        names += qsizetype(kind.size());
    if (names > InPlaceScanLimit) {
        // Freeing a large index takes milliseconds: not on the event loop.
        std::thread([old = std::move(m_kinds), oldTimes = std::move(m_queuedTimes)]() mutable {
            old = {};
            oldTimes = {};
        }).detach();
    }
    m_kinds = {};
    m_queuedTimes.clear();
    m_pending.clear();
}

void OutboxIndex::cancelScan()
{
    if (!m_job)
        return;
    m_job->cancel.store(true);
    m_worker.join();
    m_job.reset();
    m_pending.clear();
}

void OutboxIndex::apply(const Fs::DirectoryWatch::Event& event)
{
    const int kind = MessageKinds::indexOfName(event.name.constData(), size_t(event.name.size()));
    if (kind < 0)
        return;
    Names& names = m_kinds[size_t(kind)];
    if (event.kind == Fs::DirectoryWatch::Event::Added) {
        // A name written again keeps its place in the queue, and its time.
        const qint64 at = now();
        if (names.emplace(event.name.toStdString(), at).second)
            m_queuedTimes.insert(at);
    } else {
        const auto it = names.find(event.name.toStdString());
        if (it != names.end()) {
            m_queuedTimes.erase(m_queuedTimes.find(it->second));
            names.erase(it);
        }
        if (m_onRemoved)
            m_onRemoved(event.name);
    }
    if (m_onChanged)
        m_onChanged();
}
