#include "backgroundwriter.h"

#include "fsutil.h"

BackgroundWriter::~BackgroundWriter()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

bool BackgroundWriter::post(const QByteArray& path, const QByteArray& data, unsigned mode)
{
    const std::lock_guard lock(m_mutex);
    if (!m_thread.joinable())
        m_thread = std::thread([this] { run(); });
    m_pending[path] = { data, mode };
    m_wake.notify_all();
    const auto failed = m_failed.find(path);
    return failed != m_failed.end() && failed->second;
}

bool BackgroundWriter::flush(const QByteArray& path)
{
    std::unique_lock lock(m_mutex);
    m_idle.wait(lock, [this] { return m_pending.empty() && !m_busy; });
    const auto failed = m_failed.find(path);
    return failed != m_failed.end() && failed->second;
}

std::chrono::microseconds BackgroundWriter::lastWriteTime() const
{
    const std::lock_guard lock(m_mutex);
    return m_lastWrite;
}

void BackgroundWriter::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stop || !m_pending.empty(); });
        if (m_pending.empty()) {
            m_idle.notify_all();
            return; // stopping, and nothing left to write
        }
        const auto next = m_pending.begin();
        const QByteArray path = next->first;
        const Job job = next->second;
        m_pending.erase(next);
        m_busy = true;
        lock.unlock();
        const auto start = std::chrono::steady_clock::now();
        // Not flushed to the disk: these files are rewritten soon anyway.
        const bool written = Fs::writeFileAtomic(path, job.data, job.mode, false);
        const auto took
            = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
        lock.lock();
        m_busy = false;
        m_failed[path] = !written;
        m_lastWrite = took;
        if (m_pending.empty())
            m_idle.notify_all();
    }
}
