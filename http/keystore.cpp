#include "keystore.h"

#include "fsutil.h"
#include "paths.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QList>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Record forms: "P <fingerprint> <seconds since the epoch>" while claimed,
// "D <fingerprint> <id>" once answered.
bool writeAll(int fd, const QByteArray& data)
{
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + done, size_t(data.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

// The record and its file's identity and time, from one open file.
bool readRecord(const QByteArray& path, QByteArray* record, struct stat* st)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[512];
    ssize_t n = -1;
    if (::fstat(fd, st) == 0 && S_ISREG(st->st_mode))
        n = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    if (n < 0)
        return false;
    *record = QByteArray(buffer, qsizetype(n));
    return true;
}

bool writeNew(const QByteArray& path, const QByteArray& data, bool sync)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0660);
    if (fd < 0)
        return false;
    bool ok = writeAll(fd, data) && (!sync || ::fsync(fd) == 0);
    ok = ::close(fd) == 0 && ok;
    if (!ok)
        ::unlink(path.constData());
    return ok;
}

} // namespace

KeyStore::KeyStore(const QByteArray& outboxDir)
    : m_dir(joinDir(outboxDir, FolderName))
    , m_sync(m_dir)
{
}

bool KeyStore::open()
{
    // Group-writable, so every front's user in the outbox's group may claim.
    // No set-group-ID bit asked for: a sandbox that forbids it (systemd's
    // RestrictSUIDSGID=) refuses the whole mkdir; in a set-group-ID outbox
    // the folder inherits the bit and the group anyway.
    // The umask may have taken the group's write away: given back.
    if (::mkdir(m_dir.constData(), 0770) == 0)
        ::chmod(m_dir.constData(), 0770);
    else if (errno != EEXIST)
        return false;
    return Fs::isDirectory(m_dir) && m_sync.open();
}

QByteArray KeyStore::pathOf(const QByteArray& scope, const QByteArray& key) const
{
    // Hashed: any visible character may be in a key, and the name stays short.
    return m_dir + '/' + QCryptographicHash::hash(scope + '\n' + key, QCryptographicHash::Sha256).toHex();
}

QByteArray KeyStore::tempPath() const
{
    return m_dir + "/.t" + QByteArray::number(::getpid()) + '_' + QByteArray::number(++m_sequence);
}

KeyStore::Claim KeyStore::claim(const QByteArray& scope, const QByteArray& key, const QByteArray& fingerprint)
{
    const QByteArray path = pathOf(scope, key);
    for (int attempt = 0; attempt < 5; ++attempt) {
        const QByteArray temp = tempPath();
        // Unflushed: after a power cut a lost claim only frees the key of a
        // request that was never answered.
        if (!writeNew(
                temp, "P " + fingerprint + ' ' + QByteArray::number(QDateTime::currentSecsSinceEpoch()) + '\n', false))
            return {};
        const int linked = ::link(temp.constData(), path.constData());
        const int error = errno;
        ::unlink(temp.constData());
        if (linked == 0)
            return { Claim::Owned, {} };
        if (error != EEXIST)
            return {};
        QByteArray record;
        struct stat st
        {
        };
        if (!readRecord(path, &record, &st)) {
            if (!Fs::exists(path))
                continue; // released meanwhile
            return {};
        }
        const QList<QByteArray> fields = record.trimmed().split(' ');
        if (fields.size() == 3 && fields[1] != fingerprint)
            return { Claim::Conflict, {} };
        if (fields.size() == 3 && fields[0] == "D")
            return { Claim::Replay, fields[2] };
        if (QDateTime::currentSecsSinceEpoch() - qint64(st.st_mtime) <= AbandonedSeconds)
            return { Claim::InProgress, {} };
        // Claimed by a front that died before answering: nothing was
        // answered under it, so it may be taken over. Moved aside first, so
        // that a claim another front made meanwhile is told apart (another
        // file) and put back rather than removed.
        const QByteArray aside = tempPath();
        if (::rename(path.constData(), aside.constData()) != 0)
            continue;
        struct stat moved
        {
        };
        if (::stat(aside.constData(), &moved) == 0 && moved.st_ino == st.st_ino && moved.st_dev == st.st_dev) {
            ::unlink(aside.constData());
            continue;
        }
        // Fails only when a third front claimed in between: that claim stands.
        if (::link(aside.constData(), path.constData()) != 0) { }
        ::unlink(aside.constData());
        return { Claim::InProgress, {} };
    }
    return { Claim::InProgress, {} };
}

bool KeyStore::complete(
    const QByteArray& scope, const QByteArray& key, const QByteArray& fingerprint, const QByteArray& id)
{
    const QByteArray temp = tempPath();
    if (!writeNew(temp, "D " + fingerprint + ' ' + id + '\n', true))
        return false;
    if (::rename(temp.constData(), pathOf(scope, key).constData()) != 0) {
        ::unlink(temp.constData());
        return false;
    }
    return m_sync.sync();
}

void KeyStore::release(const QByteArray& scope, const QByteArray& key)
{
    ::unlink(pathOf(scope, key).constData());
}

int KeyStore::prune()
{
    const qint64 limit = QDateTime::currentSecsSinceEpoch() - KeepSeconds;
    QList<QByteArray> old;
    Fs::walkDirectory(m_dir, [&](const char* name, size_t length) {
        const QByteArray entry(name, qsizetype(length));
        Fs::FileInfo info;
        if (entry != "." && entry != ".." && Fs::fileInfo(m_dir + '/' + entry, &info)
            && info.mtimeNs / 1000000000 < limit)
            old.append(entry);
        return true;
    });
    int removed = 0;
    for (const QByteArray& entry : std::as_const(old))
        removed += Fs::removeFile(m_dir + '/' + entry) ? 1 : 0;
    return removed;
}
