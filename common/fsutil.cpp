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
    struct stat st {};
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

bool moveNoReplace(const QByteArray& from, const QByteArray& to)
{
    if (from.isEmpty() || to.isEmpty())
        return false;
#ifdef RENAME_NOREPLACE
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
#endif
    // No atomic no-replace rename here: a hard link refuses an existing name.
    if (::link(from.constData(), to.constData()) != 0)
        return false;
    if (::unlink(from.constData()) != 0) {
        ::unlink(to.constData());
        return false;
    }
    return true;
}

bool exists(const QByteArray& path)
{
    struct stat st {};
    return !path.isEmpty() && ::lstat(path.constData(), &st) == 0;
}

bool isDirectory(const QByteArray& path)
{
    struct stat st {};
    return !path.isEmpty() && ::stat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool makeDirectory(const QByteArray& path)
{
    return !path.isEmpty() && ::mkdir(path.constData(), 0777) == 0;
}

} // namespace Fs
