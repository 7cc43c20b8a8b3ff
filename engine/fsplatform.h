#pragma once

#include <QByteArray>
#include <QList>

#include <cstddef>
#include <functional>

// The file-system calls the outbox index needs, behind a portable face; the
// Linux side lives in fs_posix.cpp.
namespace FsPlatform {

// Whether the directory lies on a network or user-space file system (NFS,
// SMB/CIFS, FUSE and the like), where change notifications miss what other
// machines or the file system's own server do.
bool isNetworkFileSystem(const QByteArray& dir);

enum class WalkResult { Done, Stopped, Failed };

// Calls visit for every entry of the directory, "." and ".." included, in the
// order the system yields them; visit returns false to stop the walk.
WalkResult walkDirectory(const QByteArray& dir, const std::function<bool(const char* name, size_t length)>& visit);

// Change notifications on one directory.
class DirectoryWatch
{
public:
    struct Event
    {
        enum Kind { Added, Removed, Lost };
        Kind kind;
        QByteArray name; // empty for Lost
    };

    DirectoryWatch() = default;
    DirectoryWatch(const DirectoryWatch&) = delete;
    DirectoryWatch& operator=(const DirectoryWatch&) = delete;
    ~DirectoryWatch() { stop(); }

    // False when no watch can be set (no such directory, no resources).
    bool start(const QByteArray& dir) { return open() && add(dir); }
    // The two halves of start(): add() may run on another thread, as it
    // costs time in the system in proportion to the directory's size.
    bool open();
    bool add(const QByteArray& dir);
    void stop();
    bool isActive() const { return m_fd >= 0; }
    // Readable when events are pending; -1 while stopped.
    int descriptor() const { return m_fd; }

    // Appends the events pending now, without blocking. Lost stands for
    // anything after which the names known can no longer be trusted: events
    // dropped by the system, or the directory itself moved or removed.
    void readEvents(QList<Event>* events);

private:
    int m_fd = -1;
};

} // namespace FsPlatform
