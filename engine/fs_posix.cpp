// Linux side of fsplatform.h.
#include "fsplatform.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace FsPlatform {

bool isNetworkFileSystem(const QByteArray& dir)
{
    struct statfs st
    {
    };
    if (::statfs(dir.isEmpty() ? "." : dir.constData(), &st) != 0)
        return false;
    switch (static_cast<unsigned long>(st.f_type)) {
    case 0x6969UL: // NFS
    case 0x517BUL: // SMB
    case 0xFF534D42UL: // CIFS
    case 0xFE534D42UL: // SMB2
    case 0x65735546UL: // FUSE
    case 0x01021997UL: // 9P
    case 0x73757245UL: // Coda
    case 0x5346414FUL: // AFS
    case 0x00C36400UL: // Ceph
        return true;
    default:
        return false;
    }
}

WalkResult walkDirectory(const QByteArray& dir, const std::function<bool(const char*, size_t)>& visit)
{
    DIR* d = ::opendir(dir.isEmpty() ? "." : dir.constData());
    if (!d)
        return WalkResult::Failed;
    WalkResult result = WalkResult::Done;
    while (const dirent* entry = ::readdir(d)) {
        if (!visit(entry->d_name, std::strlen(entry->d_name))) {
            result = WalkResult::Stopped;
            break;
        }
    }
    ::closedir(d);
    return result;
}

bool DirectoryWatch::open()
{
    stop();
    m_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    return m_fd >= 0;
}

bool DirectoryWatch::add(const QByteArray& dir)
{
    // Close-after-write as well as create: a name can come back while the
    // index already holds it, and a writer's close is when it is worth a look.
    const uint32_t mask = IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_MOVE_SELF
        | IN_DELETE_SELF | IN_ONLYDIR;
    return m_fd >= 0 && ::inotify_add_watch(m_fd, dir.isEmpty() ? "." : dir.constData(), mask) >= 0;
}

void DirectoryWatch::stop()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

void DirectoryWatch::readEvents(QList<Event>* events)
{
    if (m_fd < 0)
        return;
    alignas(inotify_event) char buffer[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // EAGAIN: nothing more pending
        for (ssize_t at = 0; at < n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
            at += ssize_t(sizeof(inotify_event) + e->len);
            if (e->mask & (IN_Q_OVERFLOW | IN_MOVE_SELF | IN_DELETE_SELF | IN_IGNORED | IN_UNMOUNT)) {
                events->append(Event { Event::Lost, {} });
            } else if (e->len > 0) {
                const QByteArray name(e->name); // padded with NULs
                if (e->mask & (IN_MOVED_FROM | IN_DELETE))
                    events->append(Event { Event::Removed, name });
                else
                    events->append(Event { Event::Added, name });
            }
        }
    }
}

} // namespace FsPlatform
