// Linux side of fsutil.h.
#include "fsutil.h"

#include <QtGlobal>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace Fs {

namespace {
bool writeAll(int fd, const QByteArray& data)
{
    const char* p = data.constData();
    qsizetype left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        left -= n;
    }
    return true;
}

// Nothing stands under the name any more: another process took the file
// away (ESTALE: on a network file system).
bool isGone(const char* path)
{
    struct stat st
    {
    };
    return ::lstat(path, &st) != 0 && (errno == ENOENT || errno == ESTALE);
}
} // namespace

int openRegular(const QByteArray& path, struct stat* st)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (::fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool readFile(const QByteArray& path, QByteArray* data)
{
    if (path.isEmpty())
        return false;
    struct stat st
    {
    };
    const int fd = openRegular(path, &st);
    if (fd < 0)
        return false;
    QByteArray buf;
    buf.reserve(qsizetype(st.st_size));
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ::close(fd);
            return false;
        }
        if (n == 0)
            break;
        buf.append(chunk, n);
    }
    ::close(fd);
    *data = buf;
    return true;
}

namespace {
// Opens for writing with the extra flags and writes the data. A file that
// had to be new (O_EXCL) is removed again when the write fails.
bool openAndWrite(const QByteArray& path, int flags, const QByteArray& data)
{
    if (path.isEmpty())
        return false;
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0666);
    if (fd < 0)
        return false;
    const bool ok = writeAll(fd, data);
    if (::close(fd) == 0 && ok)
        return true;
    if (flags & O_EXCL)
        ::unlink(path.constData());
    return false;
}
} // namespace

bool writeFile(const QByteArray& path, const QByteArray& data)
{
    return openAndWrite(path, O_TRUNC, data);
}

bool writeFileAtomic(const QByteArray& path, const QByteArray& data, unsigned mode, bool sync)
{
    if (path.isEmpty())
        return false;
    QByteArray tmp = path + ".XXXXXX";
    const int fd = ::mkstemp(tmp.data());
    if (fd < 0)
        return false;
    bool ok = ::fchmod(fd, mode) == 0 && writeAll(fd, data) && (!sync || ::fsync(fd) == 0);
    ok = ::close(fd) == 0 && ok;
    if (ok)
        ok = ::rename(tmp.constData(), path.constData()) == 0;
    if (!ok)
        ::unlink(tmp.constData());
    return ok;
}

bool createNewFile(const QByteArray& path, const QByteArray& data)
{
    return openAndWrite(path, O_EXCL, data);
}

namespace {
// 0 on success, else the errno of the failing call.
int renameNoReplace(const char* from, const char* to)
{
#ifdef RENAME_NOREPLACE
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
#endif
    // No atomic no-replace rename here: a hard link refuses an existing name.
    if (::link(from, to) != 0)
        return errno;
    if (::unlink(from) != 0) {
        const int e = errno;
        ::unlink(to);
        return e;
    }
    return 0;
}

bool copyAll(int in, int out)
{
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(in, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        if (!writeAll(out, QByteArray::fromRawData(chunk, n)))
            return false;
    }
}

bool syncDirectoryOf(const QByteArray& path)
{
    const qsizetype slash = path.lastIndexOf('/');
    const QByteArray dir = slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : path.left(slash);
    const int fd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

// rename() cannot cross file systems: copy, flush, then name the copy, so
// that no half-written file ever stands under the target name.
Moved copyAcross(const QByteArray& from, const QByteArray& to)
{
    // A step that fails because another process took the file (on a network
    // file system a read can fail so) is no failure of this move.
    const auto failed = [&from] { return isGone(from.constData()) ? Moved::Gone : Moved::Failed; };
    struct stat st
    {
    };
    const int in = openRegular(from, &st);
    if (in < 0)
        return failed();
    const QByteArray part = partialName(to);
    const int out = ::open(part.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 0777);
    if (out < 0) {
        ::close(in);
        return failed();
    }
    bool ok = copyAll(in, out) && ::fsync(out) == 0;
    ok = ::close(out) == 0 && ok;
    ::close(in);
    ok = ok && renameNoReplace(part.constData(), to.constData()) == 0;
    if (!ok) {
        ::unlink(part.constData());
        return failed();
    }
    // The new name must be on the disk before the only other copy goes.
    // Whoever removes the source first has moved it; a copy that lost
    // that race is taken back.
    if (!syncDirectoryOf(to) || ::unlink(from.constData()) != 0) {
        const Moved result = failed();
        ::unlink(to.constData());
        return result;
    }
    return Moved::Yes;
}
} // namespace

QByteArray partialName(const QByteArray& to)
{
    return to + ".part";
}

Moved moveNoReplace(const QByteArray& from, const QByteArray& to)
{
    if (from.isEmpty() || to.isEmpty())
        return Moved::Failed;
    const int e = renameNoReplace(from.constData(), to.constData());
    if (e == 0)
        return Moved::Yes;
    if (e == EXDEV)
        return copyAcross(from, to);
    // ENOENT also stands for a missing target folder: only a missing source
    // means the file went elsewhere.
    return (e == ENOENT || e == ESTALE) && isGone(from.constData()) ? Moved::Gone : Moved::Failed;
}

Published publishFile(
    const QByteArray& tempPath, const QByteArray& path, const QByteArray& data, unsigned mode, bool syncDirectory)
{
    if (tempPath.isEmpty() || path.isEmpty())
        return Published::Failed;
    const int fd = ::open(tempPath.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode & 0777);
    if (fd < 0)
        return Published::Failed;
    bool ok = writeAll(fd, data) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok) {
        ::unlink(tempPath.constData());
        return Published::Failed;
    }
    if (const int e = renameNoReplace(tempPath.constData(), path.constData()); e != 0) {
        ::unlink(tempPath.constData());
        return e == EEXIST ? Published::Exists : Published::Failed;
    }
    // Readers see it now; the flushed directory keeps the name through a
    // power cut, as far as the file system allows.
    if (syncDirectory)
        syncDirectoryOf(path);
    return Published::Yes;
}

AppendFile::~AppendFile()
{
    close();
}

bool AppendFile::open(const QByteArray& path)
{
    close();
    if (path.isEmpty())
        return false;
    m_fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (m_fd < 0)
        return false;
    struct stat st
    {
    };
    if (::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close();
        return false;
    }
    m_size = qint64(st.st_size);
    return true;
}

void AppendFile::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_size = 0;
}

bool AppendFile::append(const QByteArray& data, bool sync)
{
    if (m_fd < 0)
        return false;
    if (writeAll(m_fd, data) && (!sync || ::fdatasync(m_fd) == 0)) {
        m_size += data.size();
        return true;
    }
    // A record cut short would make the whole file look damaged.
    if (::ftruncate(m_fd, off_t(m_size)) != 0)
        close();
    return false;
}

bool AppendFile::truncate()
{
    if (m_fd < 0 || ::ftruncate(m_fd, 0) != 0 || ::fdatasync(m_fd) != 0)
        return false;
    m_size = 0;
    return true;
}

ReadFile::Opened ReadFile::open(const QByteArray& path)
{
    close();
    m_fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0) {
        if ((errno == ENOENT || errno == ESTALE) && isGone(path.constData()))
            return Opened::Gone;
        // Still there but cannot be opened, a dangling link say.
        return Opened::Failed;
    }
    struct stat st
    {
    };
    if (::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close();
        return Opened::Failed;
    }
    m_mtimeSeconds = qint64(st.st_mtim.tv_sec);
    return Opened::Yes;
}

ReadFile::Lease ReadFile::lease()
{
    // A writer opening the file breaks the lease, and the kernel tells the
    // holder with SIGIO, whose default action ends the program. Ask for
    // SIGURG instead (ignored by default) and then for no signal at all.
    ::fcntl(m_fd, F_SETSIG, SIGURG);
    if (::fcntl(m_fd, F_SETLEASE, F_RDLCK) == 0) {
        m_leased = true;
        ::fcntl(m_fd, F_SETOWN, 0);
        return Lease::Held;
    }
    switch (errno) {
    case EAGAIN:
        return Lease::Busy;
    case EACCES: // not the owner's file, and no CAP_LEASE
        return Lease::Refused;
    default:
        return Lease::None;
    }
}

qint64 ReadFile::read(char* data, qint64 size)
{
    for (;;) {
        const ssize_t n = ::read(m_fd, data, size_t(size));
        if (n < 0 && errno == EINTR)
            continue;
        return qint64(n);
    }
}

void ReadFile::close()
{
    if (m_fd < 0)
        return;
    if (m_leased)
        ::fcntl(m_fd, F_SETLEASE, F_UNLCK);
    ::close(m_fd);
    m_fd = -1;
    m_leased = false;
}

bool fileInfo(const QByteArray& path, FileInfo* info)
{
    struct stat st
    {
    };
    if (path.isEmpty() || ::lstat(path.constData(), &st) != 0)
        return false;
    *info = { qint64(st.st_size), qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
        qint64(st.st_ctim.tv_sec) };
    return true;
}

bool sameFile(const QByteArray& a, const QByteArray& b)
{
    struct stat sa
    {
    };
    struct stat sb
    {
    };
    return ::stat(a.constData(), &sa) == 0 && ::stat(b.constData(), &sb) == 0 && sa.st_dev == sb.st_dev
        && sa.st_ino == sb.st_ino;
}

unsigned creationMode()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~unsigned(mask);
}

bool exists(const QByteArray& path)
{
    struct stat st
    {
    };
    return !path.isEmpty() && ::lstat(path.constData(), &st) == 0;
}

bool removeFile(const QByteArray& path)
{
    return !path.isEmpty() && ::unlink(path.constData()) == 0;
}

bool isDirectory(const QByteArray& path)
{
    struct stat st
    {
    };
    return !path.isEmpty() && ::stat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool makeDirectory(const QByteArray& path)
{
    return !path.isEmpty() && ::mkdir(path.constData(), 0777) == 0;
}

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

} // namespace Fs
