#include "dirsync.h"

#include <fcntl.h>
#include <unistd.h>

DirectorySync::DirectorySync(const QByteArray& dir)
    : m_dir(dir)
{
}

DirectorySync::~DirectorySync()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool DirectorySync::open()
{
    m_fd = ::open(m_dir.isEmpty() ? "." : m_dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return m_fd >= 0;
}

bool DirectorySync::flush()
{
    return m_fd >= 0 && ::fsync(m_fd) == 0;
}

bool DirectorySync::sync()
{
    std::unique_lock guard(m_lock);
    const quint64 ticket = ++m_requested;
    while (m_completed < ticket) {
        if (m_running) {
            m_done.wait(guard);
            continue;
        }
        // Lead a flush covering every ticket drawn so far.
        m_running = true;
        const quint64 covered = m_requested;
        guard.unlock();
        const bool ok = flush();
        guard.lock();
        m_completed = covered;
        m_lastOk = ok;
        m_running = false;
        m_done.notify_all();
    }
    return m_lastOk;
}
