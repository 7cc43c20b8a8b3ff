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
    const QByteArray& p = path;
    if (p.isEmpty())
        return false;
    // Non-blocking open so a FIFO in the way cannot hang the program.
    const int fd = ::open(p.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
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

bool writeFile(const QByteArray& path, const QByteArray& data)
{
    const QByteArray& p = path;
    if (p.isEmpty())
        return false;
    const int fd = ::open(p.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    const bool ok = writeAll(fd, data);
    return ::close(fd) == 0 && ok;
}

bool writeFileAtomic(const QByteArray& path, const QByteArray& data, unsigned mode)
{
    const QByteArray& p = path;
    if (p.isEmpty())
        return false;
    QByteArray tmp = p + ".XXXXXX";
    const int fd = ::mkstemp(tmp.data());
    if (fd < 0)
        return false;
    bool ok = ::fchmod(fd, mode) == 0 && writeAll(fd, data) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (ok)
        ok = ::rename(tmp.constData(), p.constData()) == 0;
    if (!ok)
        ::unlink(tmp.constData());
    return ok;
}

bool createNewFile(const QByteArray& path, const QByteArray& data)
{
    const QByteArray& p = path;
    if (p.isEmpty())
        return false;
    const int fd = ::open(p.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    const bool ok = writeAll(fd, data);
    if (::close(fd) != 0 || !ok) {
        ::unlink(p.constData());
        return false;
    }
    return true;
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
