#pragma once

#include <QByteArray>

#include <condition_variable>
#include <mutex>

// Flushes one directory for many threads at once: a caller returns once a
// flush that began after its call has ended, so the names it made before
// calling are on the disk. Callers arriving during a flush share the next
// one: a group commit, one fsync for every file renamed meanwhile instead
// of one each. The Linux side is dirsync_posix.cpp.
class DirectorySync
{
public:
    explicit DirectorySync(const QByteArray& dir);
    ~DirectorySync();
    DirectorySync(const DirectorySync&) = delete;
    DirectorySync& operator=(const DirectorySync&) = delete;

    // False when the directory cannot be opened.
    bool open();
    // False when the flush failed.
    bool sync();

private:
    bool flush();

    QByteArray m_dir;
    int m_fd = -1;
    std::mutex m_lock;
    std::condition_variable m_done;
    quint64 m_requested = 0;
    quint64 m_completed = 0;
    bool m_running = false;
    bool m_lastOk = true;
};
