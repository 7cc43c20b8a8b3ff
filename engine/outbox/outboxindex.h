#pragma once

#include "fsutil.h"
#include "timestamp.h"

#include <QByteArray>
#include <QList>

#include <array>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>

class QSocketNotifier;

// The message files of one outbox directory, by kind in search order and by
// name (byte order) within a kind, kept up to date by change notifications.
// A full scan fills it at the start and whenever notifications were lost; a
// large directory is scanned on a worker thread so that the event loop never
// waits for it.
class OutboxIndex
{
public:
    // Name (std::string compares as unsigned bytes) -> when it was queued,
    // in seconds since the epoch: its status change time when a scan found
    // it, the time its event was read otherwise.
    using Names = std::map<std::string, qint64>;
    using Kinds = std::array<Names, 4>;
    enum class State { Ready, Scanning, Unwatched };

    // Directories of up to this many entries are scanned at once, in place.
    static constexpr int InPlaceScanLimit = 1000;

    // onRemoved is told each name that went; onChanged whenever the names
    // held may have changed.
    // Times a file was queued are read from clock.
    explicit OutboxIndex(std::function<void(const QByteArray&)> onRemoved = {}, std::function<void()> onChanged = {},
        const Clock& clock = Clock::system());
    OutboxIndex(const OutboxIndex&) = delete;
    OutboxIndex& operator=(const OutboxIndex&) = delete;
    ~OutboxIndex();

    // Follows dir from now on, forgetting what was known; network file systems
    // (told by isNetwork) are never watched.
    void follow(const QByteArray& dir, bool isNetwork);
    const QByteArray& directory() const { return m_dir; }

    // Applies the pending notifications and a finished scan. Ready: kinds()
    // holds the outbox as it is now. Scanning: no answer yet. Unwatched:
    // notifications cannot be had here, the directory must be walked.
    State refresh();
    const Kinds& kinds() const { return m_kinds; }
    // When the longest-waiting name held was queued (seconds since the
    // epoch); nothing when none is held.
    std::optional<qint64> oldestQueued() const;

    // Full scans started since construction (a test and benchmark hook).
    qsizetype fullScans() const { return m_fullScans; }

private:
    struct ScanJob;

    qint64 now() const; // seconds since the epoch, by the clock given
    const Clock& m_clock;

    bool startWatch();
    void stopWatch();
    void cancelScan();
    void apply(const Fs::DirectoryWatch::Event& event);

    QByteArray m_dir;
    bool m_network = false;
    Fs::DirectoryWatch m_watch;
    QSocketNotifier* m_notifier = nullptr;
    Kinds m_kinds;
    std::multiset<qint64> m_queuedTimes; // one per name held
    // Events read while a scan runs, applied over its result in order.
    QList<Fs::DirectoryWatch::Event> m_pending;
    std::shared_ptr<ScanJob> m_job;
    std::thread m_worker;
    std::function<void(const QByteArray&)> m_onRemoved;
    std::function<void()> m_onChanged;
    qsizetype m_fullScans = 0;
};
