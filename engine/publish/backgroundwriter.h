#pragma once

#include <QByteArray>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

// Replaces files whole (written, then renamed) on a thread of its own, the
// newest text of each file winning, so that a busy disk never holds up the
// event loop: the status file and the metrics file.
class BackgroundWriter
{
public:
    BackgroundWriter() = default;
    BackgroundWriter(const BackgroundWriter&) = delete;
    BackgroundWriter& operator=(const BackgroundWriter&) = delete;
    // Writes what waits, then ends the thread.
    ~BackgroundWriter();

    // Queues the text for path, replacing any not yet written. True when
    // the last write of path failed.
    bool post(const QByteArray& path, const QByteArray& data, unsigned mode);
    // Returns once everything queued is written. True when the last write
    // of path failed.
    bool flush(const QByteArray& path = {});
    // How long the last write took on the thread.
    std::chrono::microseconds lastWriteTime() const;

private:
    struct Job
    {
        QByteArray data;
        unsigned mode = 0;
    };
    void run();

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::map<QByteArray, Job> m_pending;
    std::map<QByteArray, bool> m_failed;
    bool m_busy = false;
    bool m_stop = false;
    std::chrono::microseconds m_lastWrite { 0 };
    std::thread m_thread;
};
