#include "fsutil.h"

#include <QtGlobal>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
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
} // namespace

bool readFile(const QByteArray& path, QByteArray* data)
{
    if (path.isEmpty())
        return false;
    // Non-blocking open so a FIFO in the way cannot hang the program.
    const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
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

bool writeFileAtomic(const QByteArray& path, const QByteArray& data, unsigned mode)
{
    if (path.isEmpty())
        return false;
    QByteArray tmp = path + ".XXXXXX";
    const int fd = ::mkstemp(tmp.data());
    if (fd < 0)
        return false;
    bool ok = ::fchmod(fd, mode) == 0 && writeAll(fd, data) && ::fsync(fd) == 0;
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
bool copyAcross(const QByteArray& from, const QByteArray& to)
{
    const int in = ::open(from.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (in < 0)
        return false;
    struct stat st
    {
    };
    if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(in);
        return false;
    }
    const QByteArray part = partialName(to);
    const int out = ::open(part.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 0777);
    if (out < 0) {
        ::close(in);
        return false;
    }
    bool ok = copyAll(in, out) && ::fsync(out) == 0;
    ok = ::close(out) == 0 && ok;
    ::close(in);
    ok = ok && renameNoReplace(part.constData(), to.constData()) == 0;
    if (!ok) {
        ::unlink(part.constData());
        return false;
    }
    // The new name must be on the disk before the only other copy goes.
    if (!syncDirectoryOf(to) || ::unlink(from.constData()) != 0) {
        ::unlink(to.constData());
        return false;
    }
    return true;
}
} // namespace

QByteArray partialName(const QByteArray& to)
{
    return to + ".part";
}

bool moveNoReplace(const QByteArray& from, const QByteArray& to)
{
    if (from.isEmpty() || to.isEmpty())
        return false;
    const int e = renameNoReplace(from.constData(), to.constData());
    if (e == 0)
        return true;
    return e == EXDEV && copyAcross(from, to);
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

} // namespace Fs
