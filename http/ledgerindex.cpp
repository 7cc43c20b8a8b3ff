#include "ledgerindex.h"

#include "fsutil.h"

#include "paths.h"

#include <QCryptographicHash>

#include <chrono>
#include <mutex>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qsizetype RecentKept = 50;

quint64 nameHash(const QByteArray& name)
{
    // A collision would only misplace a lookup, which then compares names.
    return qHash(name, 0x6d61726c656bULL) ^ (quint64(qHash(name, 0x736d73ULL)) << 1);
}

} // namespace

LedgerIndex::LedgerIndex(const QList<QByteArray>& workdirs)
{
    std::unique_lock guard(m_lock);
    m_recent.reserve(RecentKept);
    for (const QByteArray& dir : workdirs) {
        Source source;
        source.dir = dir;
        // The rotated ones first, oldest first: later lines win.
        const QList<QByteArray> files = Ledger::files(dir);
        for (qsizetype i = 0; i + 1 < files.size(); ++i) {
            struct stat st
            {
            };
            const int fd = Fs::openRegular(files[i], &st);
            if (fd < 0)
                continue;
            m_fds.append(fd);
            qint64 offset = 0;
            readFile(quint32(m_fds.size() - 1), &offset, true);
        }
        m_sources.append(source);
        readSource(&m_sources.last(), true);
    }
}

LedgerIndex::~LedgerIndex()
{
    for (const int fd : std::as_const(m_fds))
        ::close(fd);
}

void LedgerIndex::readFile(quint32 file, qint64* offset, bool initial)
{
    const int fd = m_fds[file];
    QByteArray buffer;
    char chunk[1 << 16];
    qint64 at = *offset;
    for (;;) {
        const ssize_t n = ::pread(fd, chunk, sizeof chunk, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        at += n;
        buffer.append(chunk, n);
        // Whole lines only; a partial one waits for its end.
        const qsizetype end = buffer.lastIndexOf('\n') + 1;
        qsizetype start = 0;
        while (start < end) {
            const qsizetype nl = buffer.indexOf('\n', start);
            const QByteArray text = buffer.mid(start, nl - start);
            if (std::optional<Ledger::Line> line = Ledger::parse(text)) {
                m_names.insert(nameHash(line->outboxName), { *offset + start, file, quint32(nl - start) });
                if (m_recent.size() < RecentKept)
                    m_recent.append(*line);
                else
                    m_recent[m_recentNext] = *line;
                m_recentNext = (m_recentNext + 1) % RecentKept;
                if (!initial)
                    ++m_newLines;
            }
            start = nl + 1;
        }
        *offset += end;
        buffer.remove(0, end);
    }
}

void LedgerIndex::readSource(Source* source, bool initial)
{
    const QByteArray path = joinDir(source->dir, Ledger::FileName);
    if (source->fd >= 0) {
        readFile(source->file, &source->offset, initial);
        struct stat st
        {
        };
        if (::stat(path.constData(), &st) == 0 && quint64(st.st_ino) == source->inode
            && quint64(st.st_dev) == source->device) {
            if (st.st_size < source->offset) // cut back: read anew
                source->offset = 0;
            return;
        }
        if (::stat(path.constData(), &st) != 0)
            return; // between the rename and the new file
        // Rotated: the old file (read to its end above) stays open for lookups.
        readFile(source->file, &source->offset, initial);
        source->fd = -1;
    }
    struct stat st
    {
    };
    const int fd = Fs::openRegular(path, &st);
    if (fd < 0)
        return;
    m_fds.append(fd);
    source->fd = fd;
    source->file = quint32(m_fds.size() - 1);
    source->device = quint64(st.st_dev);
    source->inode = quint64(st.st_ino);
    source->offset = 0;
    readFile(source->file, &source->offset, initial);
}

void LedgerIndex::refresh()
{
    using namespace std::chrono;
    m_lastRefreshMs = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    std::unique_lock guard(m_lock);
    for (Source& source : m_sources)
        readSource(&source, false);
}

void LedgerIndex::dropRemoved()
{
    std::unique_lock guard(m_lock);
    QList<quint32> gone;
    for (qsizetype i = 0; i < m_fds.size(); ++i) {
        bool current = false;
        for (const Source& s : std::as_const(m_sources))
            current = current || (s.fd >= 0 && s.file == quint32(i));
        struct stat st
        {
        };
        if (current || m_fds[i] < 0 || ::fstat(m_fds[i], &st) != 0 || st.st_nlink > 0)
            continue;
        ::close(m_fds[i]);
        m_fds[i] = -1;
        gone.append(quint32(i));
    }
    if (!gone.isEmpty())
        m_names.removeIf([&gone](const auto& it) { return gone.contains(it.value().file); });
}

std::optional<Ledger::Line> LedgerIndex::lineAt(const Location& where) const
{
    if (m_fds[where.file] < 0)
        return std::nullopt;
    QByteArray text(qsizetype(where.length), Qt::Uninitialized);
    if (::pread(m_fds[where.file], text.data(), where.length, where.offset) != ssize_t(where.length))
        return std::nullopt;
    return Ledger::parse(text);
}

std::optional<Ledger::Line> LedgerIndex::find(const QByteArray& outboxName)
{
    const quint64 key = nameHash(outboxName);
    // A line newer than the last refresh may say more about a name found:
    // at most a few milliseconds old, without a refresh per lookup.
    using namespace std::chrono;
    const qint64 now = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    if (now - m_lastRefreshMs.load() >= FreshMs)
        refresh();
    for (int pass = 0; pass < 2; ++pass) {
        if (pass == 1)
            refresh();
        std::shared_lock guard(m_lock);
        const auto it = m_names.constFind(key);
        if (it == m_names.constEnd())
            continue;
        std::optional<Ledger::Line> line = lineAt(*it);
        if (line && line->outboxName == outboxName)
            return line;
    }
    return std::nullopt;
}

QList<Ledger::Line> LedgerIndex::recent(int n) const
{
    std::shared_lock guard(m_lock);
    QList<Ledger::Line> lines;
    const qsizetype count = m_recent.size();
    for (qsizetype i = 1; i <= count && lines.size() < n; ++i)
        lines.append(m_recent[(m_recentNext - i + count) % count]);
    return lines;
}

qsizetype LedgerIndex::size() const
{
    std::shared_lock guard(m_lock);
    return m_names.size();
}
